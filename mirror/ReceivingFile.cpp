#include "mirror/ReceivingFile.h"

#include "mirror/JobState.h"
#include "net/httpdate.h"
#include "platform/catalogue.h"
#include "platform/userdirs.h"

#include <algorithm>
#include <cerrno>

namespace {

// A weak tag cannot validate a range: the date does then, when it is an HTTP date (a
// listing's time is none).
std::string ValidatorOf(const TFileVersion& version)
{
    if (!version.ETag.empty() && !version.ETag.starts_with("W/"))
        return version.ETag;
    return ParseHttpDate(version.LastModified) >= 0 ? version.LastModified : std::string();
}

bool SameWhereBothGiven(const std::string& ours, const std::string& theirs)
{
    return ours.empty() || theirs.empty() || ours == theirs;
}

}  // namespace

// The folder and its missing parents are made only when the folder is missing. A partial file
// that another run is writing is left to it: this run receives into a file of its own.
std::string TReceivingFile::Open(TJobState& job, const std::string& localFolder, const std::string& url,
                                 const std::string& fileName, bool resume, bool replace, const TFileVersion& listed)
{
    replace_ = replace;
    url_ = url;
    const std::string partial = resume && !replace ? platform::PartialPath(localFolder, fileName) : std::string();
    const auto open = [&] {
        return partial.empty() ? job.NewTempFile(localFolder) : job.ClaimPartialFile(localFolder, partial);
    };
    platform::TempFile file = open();
    if (!file && file.Error() == ENOENT) {
        platform::MakeFolders(localFolder);
        file = open();
    }
    partial_ = !partial.empty() && file;
    if (!file && !partial.empty() && file.Error() == EWOULDBLOCK)
        file = job.NewTempFile(localFolder);
    if (!file)
        return platform::Fill(_("cannot create a file in %1: %2"), {localFolder, platform::ErrorText(file.Error())});
    file_ = std::move(file);
    path_ = file_.Path();
    listed_ = listed.Total >= 0 && !listed.LastModified.empty();
    if (listed_)
        version_ = listed;
    if (!partial_ || !file_.Existed())
        return {};
    // Only data whose note names this URL, and a version the server can confirm, is continued.
    start_ = std::max(0LL, platform::FileSizeOf(path_));
    noteOnDisk_ = true;
    platform::PartialNote note;
    if (start_ == 0 || !platform::ReadPartialNote(path_, note) || note.Url != url)
        return {};
    const TFileVersion noted{note.Total, note.ETag, note.LastModified};
    confirmable_ = listed_ ? noted.Total == listed.Total && noted.LastModified == listed.LastModified
                           : !ValidatorOf(noted).empty();
    if (confirmable_)
        version_ = noted;
    return {};
}

long long TReceivingFile::ContinueFrom() const
{
    if (!partial_ || !confirmable_)
        return 0;
    return received_ ? std::max(0LL, platform::FileSizeOf(path_)) : start_;
}

std::string TReceivingFile::IfRange() const
{
    return ValidatorOf(version_);
}

TReplyVerdict TReceivingFile::Judge(int status, long long asked, bool conditional, long long rangeStart,
                                    long long rangeWhole, const TFileVersion& version) const
{
    if (status == 304)
        return conditional ? TReplyVerdict::Unchanged : TReplyVerdict::Refuse;
    if (status == 200)
        return TReplyVerdict::Store;
    if (status == 416 && asked > 0)
        return TReplyVerdict::Restart;
    if (status != 206 || asked <= 0)
        return TReplyVerdict::Refuse;
    const bool sameTotal = version_.Total < 0 || rangeWhole == version_.Total;
    const bool sameVersion = SameWhereBothGiven(version_.ETag, version.ETag) &&
                             SameWhereBothGiven(version_.LastModified, version.LastModified);
    return rangeStart == asked && sameTotal && sameVersion ? TReplyVerdict::Append : TReplyVerdict::Restart;
}

void TReceivingFile::Receiving(const TFileVersion& version, bool appended)
{
    checkLength_ = checkLength_ || appended || listed_;
    if (appended) {
        received_ = true;
        if (!file_.SeekEnd())
            writeError_ = errno;
        return;
    }
    // Data that cannot be taken away must not be noted as another version's, nor stored with it.
    const bool emptied = Empty();
    received_ = true;
    start_ = 0;
    if (!listed_)
        version_ = version;
    confirmable_ = emptied && (listed_ || !ValidatorOf(version_).empty());
    if (!partial_)
        return;
    // A file too small ever to be kept needs no note: most pictures cost no extra file so.
    if (confirmable_ && WorthANote()) {
        noteOnDisk_ = platform::WritePartialNote(path_, {url_, version_.Total, version_.LastModified, version_.ETag}) ||
                      noteOnDisk_;
    } else if (noteOnDisk_) {
        platform::RemovePartialNote(path_);
        noteOnDisk_ = false;
    }
}

void TReceivingFile::Restart()
{
    Empty();
    if (noteOnDisk_)
        platform::RemovePartialNote(path_);
    noteOnDisk_ = confirmable_ = received_ = false;
    start_ = 0;
    if (!listed_)
        version_ = {};
}

std::string TReceivingFile::Store(const std::string& localFolder, const std::string& fileName, std::string reason,
                                  long long modifiedTime)
{
    // A whole HTTP reply the client held to its length; continued data and FTP files are
    // checked here.
    if (reason.empty() && checkLength_ && version_.Total >= 0) {
        const long long size = platform::FileSizeOf(path_);
        if (size != version_.Total)
            reason = platform::Fill(_("received %1 of %2 bytes"), {std::to_string(size), std::to_string(version_.Total)});
    }
    if (reason.empty() && writeError_ != 0)
        reason = platform::Fill(_("cannot store %1: %2"), {fileName, platform::ErrorText(writeError_)});
    if (reason.empty() && modifiedTime >= 0)
        file_.SetModifiedTime(modifiedTime);
    const std::string finalPath = localFolder + fileName;
    if (reason.empty() && !(replace_ ? file_.Replace(finalPath) : file_.Commit(finalPath)))
        reason = platform::Fill(_("cannot store %1: %2"), {fileName, platform::ErrorText(file_.Error())});
    if (partial_ && reason.empty() && noteOnDisk_)
        platform::RemovePartialNote(path_);
    else if (partial_ && !reason.empty())
        KeepOrDrop();
    return reason;
}

void TReceivingFile::Abandon()
{
    if (partial_ && file_.Existed())
        file_.Keep();
}

// A fresh file is known to be empty, and at its start, without a call.
bool TReceivingFile::Empty()
{
    if (start_ == 0 && !received_)
        return true;
    if (file_.Rewind())
        return true;
    writeError_ = errno;
    return false;
}

// A failed transfer leaves its partial data for the next attempt when there is enough of it
// and its note says which version it is.
void TReceivingFile::KeepOrDrop()
{
    if (noteOnDisk_ && confirmable_ && platform::FileSizeOf(path_) >= MinKeptBytes) {
        file_.Keep();
        return;
    }
    if (noteOnDisk_)
        platform::RemovePartialNote(path_);
}
