#include "host/protocol/ControlProtocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace control {

std::uint32_t PayloadLength(const char* pHeader)
{
    const auto* pBytes = reinterpret_cast<const unsigned char*>(pHeader);
    return (std::uint32_t(pBytes[1]) << 24) | (std::uint32_t(pBytes[2]) << 16) |
           (std::uint32_t(pBytes[3]) << 8) | std::uint32_t(pBytes[4]);
}

std::string RuntimeDirectory(std::string& error)
{
    if (geteuid() == 0)
        return kSystemRuntimeDirectory;
    const char* szRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (szRuntime == nullptr || szRuntime[0] != '/') {
        error = "XDG_RUNTIME_DIR is not set to a directory";
        return std::string();
    }
    return std::string(szRuntime) + "/murox";
}

std::string DefaultSocketPath(std::string& error)
{
    if (geteuid() == 0)
        return kSystemSocketPath;
    const std::string directory = RuntimeDirectory(error);
    if (directory.empty()) {
        error += "; name the socket with --socket PATH";
        return std::string();
    }
    return directory + "/murox.ctl";
}

bool SocketAddress(const std::string& path, sockaddr_un& address)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void AppendFrame(std::string& out, char type, const char* pData, std::size_t length)
{
    const std::uint32_t n = static_cast<std::uint32_t>(length);
    const char header[kHeaderSize] = {type, static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                                      static_cast<char>(n >> 8), static_cast<char>(n)};
    out.append(header, kHeaderSize);
    out.append(pData, length);
}

bool BFrameReader::Refused(char type, std::uint32_t length) const
{
    return type == '\0' || std::strchr(m_szAccepted, type) == nullptr ||
           (!Streamed(type) && length > kMaxFrame);
}

bool BFrameReader::Ready() const
{
    if (m_malformed)
        return true;
    if (m_answerLeft > 0)
        return Buffered() > 0;
    if (Buffered() < kHeaderSize)
        return false;
    const char type = m_buffer[m_start];
    const std::uint32_t length = PayloadLength(m_buffer.data() + m_start);
    if (Refused(type, length))
        return true;
    if (Streamed(type))
        return length == 0 || Buffered() > kHeaderSize;
    return Buffered() - kHeaderSize >= length;
}

BFrameReader::TResult BFrameReader::Next(TFrame& frame)
{
    if (m_malformed)
        return kMalformed;
    if (m_answerLeft == 0) {
        if (Buffered() < kHeaderSize) {
            Compact();
            return kNone;
        }
        const char type = m_buffer[m_start];
        const std::uint32_t length = PayloadLength(m_buffer.data() + m_start);
        if (Refused(type, length)) {
            m_malformed = true;
            return kMalformed;
        }
        if (!Streamed(type))
            return NextWhole(type, length, frame);
        m_start += kHeaderSize;
        m_answerLeft = length;
        m_answerType = type;
        if (length == 0)
            return TakePiece(0, frame);
    }
    const std::size_t piece = std::min<std::size_t>(Buffered(), m_answerLeft);
    if (piece == 0) {
        Compact();
        return kNone;
    }
    return TakePiece(piece, frame);
}

BFrameReader::TResult BFrameReader::NextWhole(char type, std::uint32_t length, TFrame& frame)
{
    if (Buffered() - kHeaderSize < length)
        return kNone;
    frame.type = type;
    frame.more = false;
    frame.oversized = (type == kLine || type == kJsonLine) && length > kMaxLine;
    if (frame.oversized)
        frame.payload.clear();
    else
        frame.payload.assign(m_buffer, m_start + kHeaderSize, length);
    m_start += kHeaderSize + length;
    Compact();
    return kFrame;
}

BFrameReader::TResult BFrameReader::TakePiece(std::size_t size, TFrame& frame)
{
    frame.type = m_answerType;
    frame.oversized = false;
    frame.payload.assign(m_buffer, m_start, size);
    m_start += size;
    m_answerLeft -= static_cast<std::uint32_t>(size);
    frame.more = m_answerLeft > 0;
    Compact();
    return kFrame;
}

void BFrameReader::Compact()
{
    if (m_start > 0 && m_start >= m_buffer.size() - m_start) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
}

} // namespace control
