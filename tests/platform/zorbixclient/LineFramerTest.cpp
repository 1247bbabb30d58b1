#include "zorbixclient/LineFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Norvane::zorbixclient {
namespace {

struct Framed {
    std::vector<std::string> lines;
    std::vector<std::string> oversized;
};

Framed FeedAll(LineFramer& framer, const std::vector<std::string>& chunks) {
    Framed out;
    for (const auto& chunk : chunks)
        framer.Feed(
            chunk, [&](std::string_view line) { out.lines.emplace_back(line); },
            [&](std::string_view prefix) { out.oversized.emplace_back(prefix); });
    return out;
}

struct FramerCase {
    const char* name;
    std::size_t maxLine;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    std::vector<std::string> oversized;
};

class LineFramerTest : public ::testing::TestWithParam<FramerCase> {};

TEST_P(LineFramerTest, SplitsAndBounds) {
    const auto& c = GetParam();
    LineFramer framer(c.maxLine);
    const auto out = FeedAll(framer, c.chunks);
    EXPECT_EQ(out.lines, c.lines);
    EXPECT_EQ(out.oversized, c.oversized);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineFramerTest,
    ::testing::Values(
        FramerCase{"OneChunkManyLines", 100, {"a\nbb\nccc\n"}, {"a", "bb", "ccc"}, {}},
        FramerCase{"ByteByByte", 100, {"{", "\"", "x", "\"", "}", "\n"}, {"{\"x\"}"}, {}},
        FramerCase{"CrLfAndEmptyLinesDropped", 100, {"a\r\n\n\r\nb\n"}, {"a", "b"}, {}},
        FramerCase{"PartialLineKept", 100, {"abc"}, {}, {}},
        FramerCase{"ExactlyTheBound", 4, {"abcd\n"}, {"abcd"}, {}},
        FramerCase{"OneOverTheBoundInOneChunk", 4, {"abcde\nok\n"}, {"ok"}, {"abcde"}},
        FramerCase{
            "OverTheBoundAcrossChunks", 4, {"ab", "cde", "fgh", "\nok\n"}, {"ok"}, {"abcde"}},
        FramerCase{"OverTheBoundWithoutNewlineYet", 4, {"abcdefgh"}, {}, {"abcdefgh"}},
        FramerCase{"NulAndBinaryBytesPassThrough",
                   100,
                   {std::string("a\0b\xff\n", 5)},
                   {std::string("a\0b\xff", 4)},
                   {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LineFramer, OversizedPrefixIsBoundedAndStreamResumes) {
    LineFramer framer;  // the 1 MiB default
    const std::string big(LineFramer::kDefaultMaxLine + 1, 'x');
    const auto out = FeedAll(framer, {big.substr(0, 1000), big.substr(1000), "\nnext\n"});
    ASSERT_EQ(out.oversized.size(), 1u);
    EXPECT_EQ(out.oversized[0].size(), LineFramer::kPrefixBytes);
    EXPECT_EQ(out.lines, std::vector<std::string>{"next"});

    const std::string exact(LineFramer::kDefaultMaxLine, 'y');
    const auto ok = FeedAll(framer, {exact + "\n"});
    ASSERT_EQ(ok.lines.size(), 1u);
    EXPECT_EQ(ok.lines[0].size(), LineFramer::kDefaultMaxLine);
    EXPECT_TRUE(ok.oversized.empty());
}

TEST(LineFramer, ResetForgetsPartialAndDiscarding) {
    LineFramer framer(4);
    FeedAll(framer, {"abcdefg"});  // now skipping the rest of an oversized line
    framer.Reset();
    const auto out = FeedAll(framer, {"ok\n"});
    EXPECT_EQ(out.lines, std::vector<std::string>{"ok"});
    FeedAll(framer, {"par"});
    framer.Reset();
    EXPECT_EQ(FeedAll(framer, {"t\n"}).lines, std::vector<std::string>{"t"});
}

}  // namespace
}  // namespace Norvane::zorbixclient
