// The names the module exports besides C_GetFunctionList, as the vendor
// modules the programs load export them: one X(Name) per C_Name. Whoever
// includes this defines X first. CMakeLists.txt reads the same lines to make
// each library variant's export list, so keep one X(...) a line.
X(Initialize)
X(GetAttributeValue)
X(GetSlotList)
X(GetSlotInfo)
X(OpenSession)
X(FindObjectsInit)
X(FindObjects)
X(FindObjectsFinal)
X(DestroyObject)
X(Logout)
X(CloseSession)
X(Finalize)
X(Login)
X(SignInit)
X(Sign)
X(GenerateKeyPair)
