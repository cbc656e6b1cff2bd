// The module's slots, tokens and sessions, and its life cycle.
#include "test_support.h"

#include <cstdlib>

namespace {

class SlotsAndSessions : public MockTest {};

TEST_F(SlotsAndSessions, LifecycleFollowsPkcs11) {
  describe("slot 1\n");
  CK_ULONG n = 0;
  EXPECT_EQ(p_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(p_.C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(p_.C_CloseSession(42), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p_.C_Logout(42), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(p_.C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

  // A second cycle starts from scratch: session handles count from 1 again.
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(open(1), 1u);
  EXPECT_EQ(open(1), 2u);
  ASSERT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK);
  EXPECT_EQ(open(1), 1u);
}

TEST_F(SlotsAndSessions, NoDescriptionMeansNoSlots) {
  for (const char* conf : {"", "/nonexistent/p11mock.conf"}) {
    setenv("TEST_MODULE_CONF", conf, 1);
    ASSERT_EQ(p_.C_Initialize(nullptr), CKR_OK) << conf;
    CK_ULONG n = 5;
    EXPECT_EQ(p_.C_GetSlotList(CK_FALSE, nullptr, &n), CKR_OK);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(p_.C_Finalize(nullptr), CKR_OK);
  }
}

TEST_F(SlotsAndSessions, SlotsTextsAndTokenPresence) {
  init(
      "# three readers\n"
      "slot 1\n"
      "  description Reader \\x41\\\\B\n"
      "  manufacturer Maker\n"
      "slot 7\n"
      "  no-token\n"
      "  description 0123456789012345678901234567890123456789012345678901234567890123\n"
      "  manufacturer 0123456789012345678901234567890123456789\n"
      "slot 3\n"
      "  token-appears\n"
      "  description zero\\x00byte\n"
      "slot 9\n"
      "  flags 0x0\n");

  // The token of slot 3 shows up between the count and the fill call.
  CK_ULONG n = 0;
  ASSERT_EQ(p_.C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
  EXPECT_EQ(n, 2u);
  CK_SLOT_ID ids[8] = {0};
  EXPECT_EQ(p_.C_GetSlotList(CK_TRUE, ids, &n), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, 3u);
  ASSERT_EQ(p_.C_GetSlotList(CK_TRUE, ids, &n), CKR_OK);
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(ids[0], 1u);
  EXPECT_EQ(ids[1], 3u);
  EXPECT_EQ(ids[2], 9u);
  n = 8;
  ASSERT_EQ(p_.C_GetSlotList(CK_FALSE, ids, &n), CKR_OK);
  ASSERT_EQ(n, 4u);
  EXPECT_EQ(ids[1], 7u);

  CK_SLOT_INFO info;
  ASSERT_EQ(p_.C_GetSlotInfo(1, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 64),
            "Reader A\\B" + std::string(54, ' '));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "Maker" + std::string(27, ' '));
  EXPECT_EQ(info.flags, CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);

  ASSERT_EQ(p_.C_GetSlotInfo(7, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 64),
            "0123456789012345678901234567890123456789012345678901234567890123");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "01234567890123456789012345678901");
  EXPECT_EQ(info.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);

  ASSERT_EQ(p_.C_GetSlotInfo(3, &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.slotDescription), 10), std::string("zero\0byte ", 10));
  EXPECT_EQ(info.flags, 7u);
  ASSERT_EQ(p_.C_GetSlotInfo(9, &info), CKR_OK);
  EXPECT_EQ(info.flags, 0u);
  EXPECT_EQ(p_.C_GetSlotInfo(2, &info), CKR_SLOT_ID_INVALID);

  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(p_.C_OpenSession(7, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(p_.C_OpenSession(3, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
}

TEST_F(SlotsAndSessions, ReadOnlyTokenRefusesReadWriteSessions) {
  init("slot 4\n  read-only\n  cert-empty\n");
  CK_SESSION_HANDLE h = 0;
  EXPECT_EQ(p_.C_OpenSession(4, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
            CKR_TOKEN_WRITE_PROTECTED);
  EXPECT_EQ(h, 0u);
  ASSERT_EQ(p_.C_OpenSession(4, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
  EXPECT_EQ(h, 1u);
}

}  // namespace
