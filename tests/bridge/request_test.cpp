#include "request.h"

#include <gtest/gtest.h>

#include <string>

namespace {
Request parse(const std::string& content)
{
    FILE* f = fmemopen(const_cast<char*>(content.data()), content.size(), "r");
    if (content.empty())
        f = std::tmpfile();
    Request request;
    readRequest(f, request);
    std::fclose(f);
    return request;
}
} // namespace

TEST(RequestFile, FourLinesFillTheFieldsInOrder)
{
    Request r = parse("signDocumentRaw\nReader 1\n1234\nAAAA\n");
    EXPECT_EQ(r.commandname, "signDocumentRaw");
    EXPECT_EQ(r.readerName, "Reader 1");
    EXPECT_EQ(r.pin, "1234");
    EXPECT_EQ(r.dopParam, "AAAA");
    EXPECT_EQ(r.lineCount, 4u);
}

TEST(RequestFile, OnlyOneLineFeedIsRemovedAndCarriageReturnsStay)
{
    Request r = parse("getCertList\r\nReader\r\n\n");
    EXPECT_EQ(r.commandname, "getCertList\r");
    EXPECT_EQ(r.readerName, "Reader\r");
    EXPECT_EQ(r.pin, "");
    EXPECT_EQ(r.lineCount, 3u);
}

TEST(RequestFile, EmptyLinesKeepTheFollowingLinesInPlace)
{
    Request r = parse("getCertList\n\n1234\nparam");
    EXPECT_EQ(r.readerName, "");
    EXPECT_EQ(r.pin, "1234");
    EXPECT_EQ(r.dopParam, "param") << "a last line without line feed is taken whole";
    EXPECT_EQ(r.lineCount, 4u);
}

TEST(RequestFile, LinesPastTheFourthAreCountedOnly)
{
    Request r = parse("a\nb\nc\nd\ne\nf\n");
    EXPECT_EQ(r.dopParam, "d");
    EXPECT_EQ(r.lineCount, 6u);
}

TEST(RequestFile, ZeroByteEndsTheTextAndALeadingZeroSkipsTheRead)
{
    std::string content("get\0tail\n", 9);
    content += std::string("\0ignored\n", 9);
    content += "Reader\n";
    Request r = parse(content);
    EXPECT_EQ(r.commandname, "get");
    EXPECT_EQ(r.readerName, "Reader");
    EXPECT_EQ(r.lineCount, 2u);
}

TEST(RequestFile, OverlongLinesAreSplitIntoCountedReads)
{
    std::string exact(REQUEST_READ_SIZE - 1, 'x');
    Request r = parse(exact + "\nReader\n");
    EXPECT_EQ(r.commandname, exact);
    EXPECT_EQ(r.readerName, "") << "the line feed arrives in a read of its own";
    EXPECT_EQ(r.pin, "Reader");
    EXPECT_EQ(r.lineCount, 3u);

    Request longer = parse(exact + "yz\n");
    EXPECT_EQ(longer.commandname, exact);
    EXPECT_EQ(longer.readerName, "yz");
    EXPECT_EQ(longer.lineCount, 2u);
}

TEST(RequestFile, EmptyFileHasNoLines)
{
    Request r = parse("");
    EXPECT_EQ(r.lineCount, 0u);
    EXPECT_EQ(r.commandname, "");
}

TEST(RequestFile, ReadingStopsAtTheBoundAsAtEndOfFile)
{
    // Two-byte lines: the bound falls after the last line feed of a whole line.
    std::string lines;
    for (unsigned long i = 0; i < REQUEST_MAX_BYTES; ++i)
        lines += "x\n";
    EXPECT_EQ(parse(lines).lineCount, REQUEST_MAX_BYTES / 2);
    // A line cut by the bound is taken as a last line without line feed.
    Request cut = parse("get\nReader\n" + std::string(REQUEST_MAX_BYTES, 'p'));
    EXPECT_EQ(cut.lineCount, 2u + (REQUEST_MAX_BYTES - 11) / (REQUEST_READ_SIZE - 1) + 1);
}
