// The home of a file on its way: the file it is received into, from the claim to the final name.
//
// It keeps one promise: a partial file holds the first N bytes of exactly one version of one
// URL. Its note records that version (the URL, the length, the server's tag and date; over FTP
// the listing's size and date); the data is continued only when the server confirms the version
// (If-Range over HTTP, an unchanged listing entry over FTP), and a version is noted only after
// the data of any other is gone. The length is checked before the final name.
#pragma once

#include "platform/files.h"

#include <string>

class TJobState;

// What a server says of the version of a file.
struct TFileVersion {
    long long Total = -1;      // its length; -1: not known
    std::string ETag;          // empty: none given
    std::string LastModified;  // an HTTP date, or an FTP listing's time in seconds; empty: none
};

// What to do with an HTTP reply to a request for the file.
enum class TReplyVerdict {
    Store,      // the whole file: received from its start
    Append,     // the rest of the partial data's version: appended
    Restart,    // a refused continuation: the partial data is dropped and the file asked for whole
    Unchanged,  // not modified since the time asked about: nothing comes
    Refuse      // no answer to what was asked (a redirect's reply is judged in its turn): its body is not stored
};

class TReceivingFile {
public:
    // Partial data below this is dropped with its failed transfer: fetching it again costs less
    // than a file left behind.
    static constexpr long long MinKeptBytes = 1024 * 1024;

    // Opens what `fileName` from `url` is received into, in `localFolder` (made when missing):
    // its partial file when `resume` is on and the file replaces none, else a fresh temporary
    // file. `listed` is what a listing said of the file's version (over FTP), else unknown. Why
    // it cannot be had, or an empty text.
    std::string Open(TJobState& job, const std::string& localFolder, const std::string& url,
                     const std::string& fileName, bool resume, bool replace, const TFileVersion& listed = {});

    const std::string& Path() const { return path_; }
    // Where the data is written: the file open at the place the next data goes (see Receiving).
    int Descriptor() const { return file_.Descriptor(); }
    bool Partial() const { return partial_; }
    // The file replaces the present one of its name (a recheck found it changed); never partial.
    bool Replaces() const { return replace_; }
    // Where the next try starts: the bytes there when they are of a version the server can
    // confirm, else 0 (the file is fetched whole).
    long long ContinueFrom() const;
    // The validator sent with a request for the rest: the tag, else the date.
    std::string IfRange() const;

    // Judges an HTTP reply's head; `asked` is the start of the range asked for (0: the whole
    // file), `conditional` whether the request asked only for a change.
    TReplyVerdict Judge(int status, long long asked, bool conditional, long long rangeStart, long long rangeWhole,
                        const TFileVersion& version) const;
    // The data of `version` is about to come: appended to the partial data, or from the start
    // (the old data and note are gone first, so that a kill never leaves them with another
    // version's note or bytes).
    void Receiving(const TFileVersion& version, bool appended);
    // A refused continuation: the partial data goes, and the file is fetched whole.
    void Restart();

    // The end of the transfer. On success (`reason` empty) the length is checked and the file
    // takes its final name and the server's time; the failure's reason, or an empty text.
    std::string Store(const std::string& localFolder, const std::string& fileName, std::string reason,
                      long long modifiedTime);
    // No transfer came to it (a cancel took it back first): partial data there before stays as
    // it was, and a file made for it goes.
    void Abandon();

private:
    bool WorthANote() const { return version_.Total < 0 || version_.Total >= MinKeptBytes; }
    // Empties the file when it may hold data, for data from the start; false when it cannot.
    bool Empty();
    void KeepOrDrop();

    platform::TempFile file_;
    std::string path_;
    std::string url_;
    bool partial_ = false;
    bool replace_ = false;
    bool noteOnDisk_ = false;     // the partial file's note may be on the disk
    bool confirmable_ = false;    // the data there is of version_, which the server can confirm
    bool listed_ = false;         // version_ comes from a listing: only it is continued
    bool received_ = false;       // data came (or the file was emptied for it) since the open
    bool checkLength_ = false;    // no client held the data to its length: Store checks it
    long long start_ = 0;         // bytes there when the file was opened
    int writeError_ = 0;          // errno of a failure to place the data: it cannot be stored
    TFileVersion version_;
};
