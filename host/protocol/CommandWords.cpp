#include "host/protocol/CommandWords.h"

#include "host/protocol/ControlProtocol.h"

namespace control {

namespace {

const char kCommandTag = 'c';
const char kSwitchTag = 's';
const char kNamingSwitchTag = 'n';
const char kNameTag = 'e';

// Appends "TAG WORD\n" unless it breaks a bound; false once the payload is full.
class BWordsPayload {
public:
    bool Add(char tag, const std::string& word)
    {
        if (word.empty() || word.size() > kMaxWordLength || word.find('\n') != std::string::npos)
            return true;
        if (m_count == kMaxWords || m_text.size() + word.size() + 3 > kMaxFrame)
            return false;
        ++m_count;
        m_text += tag;
        m_text += ' ';
        m_text += word;
        m_text += '\n';
        return true;
    }
    const std::string& Text() const { return m_text; }

private:
    std::string m_text;
    std::size_t m_count = 0;
};

bool AddCommands(BWordsPayload& payload, const std::vector<TCommandWord>& commands)
{
    for (const TCommandWord& command : commands) {
        if (!payload.Add(kCommandTag, command.word))
            return false;
        for (const TSwitchWord& option : command.switches)
            if (!payload.Add(option.takesName ? kNamingSwitchTag : kSwitchTag, option.word))
                return false;
    }
    return true;
}

// One line of a payload: whether its word is taken, given what came before.
bool TakeLine(char tag, std::string word, TCommandWords& words)
{
    if (word.empty() || word.size() > kMaxWordLength)
        return false;
    if (tag == kCommandTag) {
        words.commands.push_back({std::move(word), {}});
    } else if ((tag == kSwitchTag || tag == kNamingSwitchTag) && !words.commands.empty()) {
        words.commands.back().switches.push_back({std::move(word), tag == kNamingSwitchTag});
    } else if (tag == kNameTag) {
        words.names.push_back(std::move(word));
    } else {
        return false;
    }
    return true;
}

} // namespace

bool operator==(const TSwitchWord& a, const TSwitchWord& b)
{
    return a.word == b.word && a.takesName == b.takesName;
}

bool operator==(const TCommandWord& a, const TCommandWord& b)
{
    return a.word == b.word && a.switches == b.switches;
}

bool operator==(const TCommandWords& a, const TCommandWords& b)
{
    return a.commands == b.commands && a.names == b.names;
}

std::string EncodeWords(const TCommandWords& words)
{
    BWordsPayload payload;
    if (AddCommands(payload, words.commands))
        for (const std::string& name : words.names)
            if (!payload.Add(kNameTag, name))
                break;
    return payload.Text();
}

TCommandWords DecodeWords(const std::string& payload)
{
    TCommandWords words;
    std::size_t count = 0;
    std::string::size_type start = 0;
    while (start < payload.size() && count < kMaxWords) {
        std::string::size_type end = payload.find('\n', start);
        if (end == std::string::npos)
            end = payload.size();
        if (end - start > 2 && payload[start + 1] == ' ' &&
            TakeLine(payload[start], payload.substr(start + 2, end - start - 2), words))
            ++count;
        start = end + 1;
    }
    return words;
}

} // namespace control
