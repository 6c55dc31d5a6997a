// The framework's configuration store, backed by a file.
#ifndef HOSTAPI_BFILENV_H
#define HOSTAPI_BFILENV_H

#include "hostapi/BString.h"
#include "hostapi/KafApi.h"

namespace KAF {

// Configuration as named sections of named values, in file order.
class KAF_API INonVolatile {
public:
    virtual ~INonVolatile();

    virtual int SectionCount() const = 0;
    // Nonzero, with `name` set, for 0 <= index < SectionCount().
    virtual int SectionNameAt(int index, BString& name) const = 0;
    // Nonzero, with `value` set, when the section holds the key.
    virtual int GetValue(const BString& section, const BString& key, BString& value) const = 0;
    // Creates the section (at the end) and the key (at the end of the
    // section) as needed. Zero, with nothing changed, for a name the file
    // format cannot hold.
    virtual int SetValue(const BString& section, const BString& key, const BString& value) = 0;
    // Zero when there is no such section.
    virtual int RemoveSection(const BString& section) = 0;
    // Makes the store's contents durable. Zero on failure, with the contents
    // kept in memory and the reason in LastError().
    virtual int Commit() = 0;
    // Why the last ReadFile or Commit failed; empty after a success.
    virtual const char* LastError() const = 0;
};

// File format, one item a line:
//   # comment            (also "; comment"; blank lines are ignored)
//   [section name]
//   key = value          (blanks around key and value are dropped)
// A key before the first section, a line of any other form, an empty or
// repeated section name, or a repeated key within a section makes the file
// malformed. Sections and keys are found by name through a hash index;
// reading takes time linear in the file's length.
//
// The store keeps the file's lines as read. A section owns the comment
// lines directly above its header (no blank line between) and every line
// after it up to the next section's; the lines before the first section
// belong to none. Commit rewrites only what changed: a changed value's
// line becomes "key = value", a new key follows its section's last key, a
// new section is appended (after a blank line), and a removed section goes
// with all its lines. Comments, blank lines and the text of everything
// else are written back as they were.
//
// The store remembers its file as it last read or wrote it. Commit refuses,
// changing nothing, when the file on disk is no longer that (edited,
// replaced or removed by hand, also while the commit writes; a file the
// store never read counts as one that did not exist): LastError() then
// says why (to re-read it: "xdll -r"). The host may lock the file for the
// store, with lock files of its own (host/kaf/StoreControl.h).
class KAF_API BFileNV : public INonVolatile {
public:
    BFileNV();
    // Names the file without reading it.
    explicit BFileNV(const char* fileName);
    ~BFileNV() override;
    BFileNV(const BFileNV&) = delete;
    BFileNV& operator=(const BFileNV&) = delete;

    // Replaces the contents with those of the named regular file, which
    // becomes the store's file. Nonzero on success; on failure (unreadable
    // or malformed file) the contents and the file name stay as they were
    // and LastError() says why, with the line number for a malformed line.
    int ReadFile(const char* fileName);

    int SectionCount() const override;
    int SectionNameAt(int index, BString& name) const override;
    int GetValue(const BString& section, const BString& key, BString& value) const override;
    int SetValue(const BString& section, const BString& key, const BString& value) override;
    int RemoveSection(const BString& section) override;
    // Writes the contents to the store's file through a temporary file that
    // is flushed, synced and exchanged with it, so readers see the old file
    // or the new one, never a mix; an edit that reached the old file
    // meanwhile is exchanged back in (with what was appended to the new
    // file in between) and the commit refused. The temporary
    // file is created beside the final target of a symbolic link (the link
    // stays), under a name nobody can foresee and without following
    // anything found there, mode 0600 until complete, then with the old
    // file's mode, owner and group (a new file: 0644 less the umask). Only
    // a regular file is replaced; no temporary file outlives a failure.
    int Commit() override;
    const char* LastError() const override;

    BString m_fileName; // the store's file

    struct TContents; // opaque outside the framework

private:
    TContents* m_pContents;
    BString m_lastError;
};

} // namespace KAF

#endif
