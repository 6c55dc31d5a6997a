// The log's record of each line a console sends, written before it runs:
// whoever reads the log must see what ran, however it was padded or long.
#ifndef HOST_SERVER_LINEAUDIT_H
#define HOST_SERVER_LINEAUDIT_H

#include <cstddef>
#include <string>
#include <vector>

// Longest record this writes; the event log keeps 1023 bytes of a record.
const std::size_t kMaxAuditRecord = 1000;

// The records for `line`, sent by the peer named `who` ("uid U, pid P"):
// "line from WHO: LINE", its words one blank apart (a line has no
// quoting, so that is what runs) and made visible (control::VisibleLine);
// " (blanks collapsed)" follows when the line held other blanks. A line
// too long for one record is logged whole over as many as it needs, each
// "line from WHO, part I of N: PIECE", never cut inside a character or an
// escape. An empty line gives "line from WHO: ".
std::vector<std::string> LineAuditRecords(const std::string& who, const std::string& line);

#endif
