// An answer is handed out in pieces as its bytes arrive; other frames stay whole and bounded.
#include <gtest/gtest.h>

#include "host/protocol/ControlProtocol.h"

namespace {

using control::BFrameReader;
using control::TFrame;

std::string Header(char type, std::uint32_t length)
{
    std::string frame;
    control::AppendFrame(frame, type, "", 0);
    frame[1] = static_cast<char>(length >> 24);
    frame[2] = static_cast<char>(length >> 16);
    frame[3] = static_cast<char>(length >> 8);
    frame[4] = static_cast<char>(length);
    return frame;
}

// `stream` read in pieces of `step` bytes: each frame as "T:payload", '+' after a piece with more.
std::vector<std::string> Read(const std::string& stream, std::size_t step)
{
    BFrameReader reader = BFrameReader::FromDaemon();
    std::vector<std::string> got;
    for (std::size_t at = 0; at < stream.size(); at += step) {
        reader.Append(stream.data() + at, std::min(step, stream.size() - at));
        TFrame frame;
        for (;;) {
            const bool ready = reader.Ready();
            const BFrameReader::TResult result = reader.Next(frame);
            EXPECT_EQ(ready, result != BFrameReader::kNone);
            if (result == BFrameReader::kMalformed)
                got.push_back("malformed");
            if (result != BFrameReader::kFrame)
                break;
            got.push_back(std::string(1, frame.type) + ":" + frame.payload +
                          (frame.more ? "+" : ""));
        }
    }
    return got;
}

TEST(AnswerPiecesTest, AnAnswerComesInThePiecesItArrivesIn)
{
    std::string stream;
    control::AppendFrame(stream, control::kEvent, "hello: term");
    control::AppendFrame(stream, control::kAnswer, "listing");
    control::AppendFrame(stream, control::kAnswer, "");
    control::AppendFrame(stream, control::kEvent, "");
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"V:hello: term", "A:listing", "A:", "V:"}), Read(stream, stream.size()));
    const V bytewise = Read(stream, 1);
    EXPECT_EQ(
        (V{"V:hello: term", "A:l+", "A:i+", "A:s+", "A:t+", "A:i+", "A:n+", "A:g", "A:", "V:"}),
        bytewise);
    EXPECT_EQ((V{"V:hello: term", "A:lis+", "A:ting", "A:", "V:"}), Read(stream, 24));
}

TEST(AnswerPiecesTest, AnAnswerOfAnyLengthIsHeldPieceByPiece)
{
    BFrameReader reader = BFrameReader::FromDaemon();
    reader.Append(Header(control::kAnswer, 0xfffffff0).data(), control::kHeaderSize);
    const std::string data(64 * 1024, 'x');
    TFrame frame;
    EXPECT_EQ(BFrameReader::kNone, reader.Next(frame));
    for (int i = 0; i < 64; ++i) {
        reader.Append(data.data(), data.size());
        ASSERT_EQ(BFrameReader::kFrame, reader.Next(frame));
        EXPECT_EQ(data, frame.payload);
        EXPECT_TRUE(frame.more);
        EXPECT_EQ(0u, reader.Buffered());
        EXPECT_EQ(BFrameReader::kNone, reader.Next(frame));
    }
}

TEST(AnswerPiecesTest, OtherFramesAndUnstreamedAnswersStayBounded)
{
    const std::string whole =
        Header(control::kEvent, control::kMaxFrame) + std::string(control::kMaxFrame, 'v');
    EXPECT_EQ(1u, Read(whole, 4096).size());
    EXPECT_EQ(std::vector<std::string>{"malformed"},
              Read(Header(control::kEvent, control::kMaxFrame + 1) + "v", 8));
    EXPECT_EQ(std::vector<std::string>{"malformed"}, Read(Header('L', 1) + "x", 8));
    // The daemon's side streams nothing: long lines, answers and words from a console are
    // malformed.
    for (const std::string& stream :
         {Header(control::kLine, control::kMaxFrame + 1), Header(control::kAnswer, 1) + "x",
          Header(control::kWords, 0), Header('\0', 0)}) {
        BFrameReader fromConsole = BFrameReader::FromConsole();
        fromConsole.Append(stream.data(), stream.size());
        TFrame frame;
        EXPECT_EQ(BFrameReader::kMalformed, fromConsole.Next(frame));
    }
}

} // namespace
