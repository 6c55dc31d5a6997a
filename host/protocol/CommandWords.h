// The words a console completes: the daemon's command words, their
// switches, and the names of its extension libraries. The daemon sends
// them in a 'W' frame (see ControlProtocol.h); the shell hands them to its
// line reader as they are.
#ifndef HOST_PROTOCOL_COMMANDWORDS_H
#define HOST_PROTOCOL_COMMANDWORDS_H

#include <cstddef>
#include <string>
#include <vector>

namespace control {

// A switch of a command, and whether its operand is the name of a
// configured extension library ("xdll -l NAME"; not "xdll -a NAME PATH",
// whose name is a new one).
struct TSwitchWord {
    std::string word;
    bool takesName = false;
};

struct TCommandWord {
    std::string word;
    std::vector<TSwitchWord> switches; // in the order its help gives them
};

struct TCommandWords {
    std::vector<TCommandWord> commands; // in the order "help" lists them
    std::vector<std::string> names;     // of the configured libraries, in order
};

bool operator==(const TSwitchWord& a, const TSwitchWord& b);
bool operator==(const TCommandWord& a, const TCommandWord& b);
bool operator==(const TCommandWords& a, const TCommandWords& b);

// What a 'W' frame carries at most: words (commands, switches and names
// together), and bytes in one word.
const std::size_t kMaxWords = 4096;
const std::size_t kMaxWordLength = 255;

// The payload of a 'W' frame, as ControlProtocol.h describes it. A word
// that is empty, longer than kMaxWordLength or holds a line break is left
// out, and so is everything past kMaxWords words or kMaxFrame bytes.
std::string EncodeWords(const TCommandWords& words);

// The words of a 'W' payload, bounded as EncodeWords bounds them: lines
// of another form, switches before any command, and whatever lies past
// the bounds are passed over.
TCommandWords DecodeWords(const std::string& payload);

} // namespace control

#endif
