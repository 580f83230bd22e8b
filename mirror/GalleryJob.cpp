#include "mirror/GalleryJob.h"

#include "mirror/Album.h"
#include "mirror/GalleryWalk.h"
#include "mirror/JobState.h"
#include "mirror/PageFetch.h"
#include "mirror/pagelines.h"
#include "platform/Exception.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <string>
#include <utility>

namespace {

// The pages of the folders the job touched and of those above them.
void WriteAlbum(TJobState& job)
{
    job.SetStatusText(_("Writing the album . . ."));
    const TAlbumRequest request{job.Options.Destination, job.Options.AlbumIndex, false, job.Run.AlbumListed,
                                [&job](const std::string& line) { job.AppendLog(line); }};
    job.AppendLog(AlbumSummary(BuildAlbum(request)));
}

// `queryKey` "f" or "m", `entry` the ID or member name. The entry, destination and host are
// read once, so that an edit made while the job waits cannot make the walk look for a page
// other than the one fetched. The page file lies inside the destination folder, whether or
// not its text ends in a separator.
void RunGalleryJob(TJobState& job, const std::string& queryKey, const std::string& entry)
{
    job.BeginJob();
    job.SetStatusText(_("getting list . . . "));
    const std::string destination = job.Options.Destination;
    if (!platform::DirectoryExists(destination))
        platform::CreateDir(destination);
    job.ClearLog();
    job.LastFolderPath.clear();
    platform::TempFile pageFile = job.NewTempFile(destination);
    if (!pageFile)
        throw EInOutError(platform::Fill(_("cannot create a file in %1: %2"), {destination, platform::ErrorText(pageFile.Error())}));
    const std::string url = GalleryUrl(job.SiteTag, "/cgi-bin/gallery.cgi?" + queryKey + "=" + QueryValue(entry));
    if (!FetchPage(job, url, pageFile.Path())) {
        job.Run.Problem = platform::Fill(_("first page not obtained: %1: %2"), {url, job.Run.LastPageFailure});
        job.EndJob(TJobOutcome::FirstPageFailed);
        return;
    }
    job.AppendLog(url);
    WalkFetchedPage(job, std::move(pageFile), entry);
    if (job.Options.Album && !job.StopRequested)
        WriteAlbum(job);
    job.SetStatusText(_(". . . done getting files"));
    // The walk says when the first page showed no gallery to walk.
    if (job.Run.Outcome != TJobOutcome::Completed)
        job.Run.Problem = url + ": " + job.Run.Problem;
    job.EndJob(job.Run.Outcome);
}

}  // namespace

void StartFolderJob(TJobState& job)
{
    RunGalleryJob(job, "f", job.Options.FolderId);
}

void StartMemberJob(TJobState& job)
{
    RunGalleryJob(job, "m", job.Options.Member);
}
