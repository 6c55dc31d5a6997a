// The control socket's frame reader against a plain model: whatever bytes
// arrive, cut into whatever pieces, it must give exactly the frames the
// model finds in the whole stream, refuse the first frame the model calls
// malformed, and stay refused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/protocol/ControlProtocol.h"

namespace {

struct TModelFrame {
    char type;
    std::string payload; // empty for a refused (oversized) line
    bool oversized;
};

// The frames of `stream` from its start, and whether a malformed one ends them.
std::vector<TModelFrame> Model(const std::string& stream, bool& malformed)
{
    std::vector<TModelFrame> frames;
    malformed = false;
    std::size_t at = 0;
    while (stream.size() - at >= control::kHeaderSize) {
        const char type = stream[at];
        std::uint32_t length = 0;
        for (int i = 1; i <= 4; ++i)
            length = (length << 8) | static_cast<unsigned char>(stream[at + i]);
        const bool line = type == control::kLine || type == control::kJsonLine;
        if ((!line && type != control::kEvents) || length > control::kMaxFrame) {
            malformed = true;
            break;
        }
        if (stream.size() - at - control::kHeaderSize < length)
            break;
        const bool oversized = line && length > control::kMaxLine;
        frames.push_back(
            {type, oversized ? std::string() : stream.substr(at + 5, length), oversized});
        at += control::kHeaderSize + length;
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the piece size the stream arrives in.
    const std::size_t piece = 1 + pData[0] % 64;
    const std::string stream(reinterpret_cast<const char*>(pData + 1), size - 1);
    bool malformed = false;
    const std::vector<TModelFrame> expected = Model(stream, malformed);

    control::BFrameReader reader = control::BFrameReader::FromConsole();
    std::vector<TModelFrame> got;
    bool refused = false;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        reader.Append(stream.data() + at, std::min(piece, stream.size() - at));
        for (;;) {
            const bool ready = reader.Ready();
            control::TFrame frame;
            const auto result = reader.Next(frame);
            if (ready != (result != control::BFrameReader::kNone))
                std::abort(); // Ready() must foretell Next()
            if (result == control::BFrameReader::kNone)
                break;
            if (result == control::BFrameReader::kMalformed) {
                refused = true;
                if (reader.Next(frame) != control::BFrameReader::kMalformed)
                    std::abort(); // refused for good
                break;
            }
            got.push_back({frame.type, frame.payload, frame.oversized});
        }
        if (refused)
            break;
    }
    if (refused != malformed || got.size() != expected.size())
        std::abort();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i].type != expected[i].type || got[i].payload != expected[i].payload ||
            got[i].oversized != expected[i].oversized)
            std::abort();
    return 0;
}
