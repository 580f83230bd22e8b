#include "mirror/GalleryJob.h"

#include "mirror/GalleryWalk.h"
#include "mirror/JobForm.h"
#include "mirror/PageFetch.h"
#include "mirror/pagelines.h"
#include "platform/Exception.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <string>
#include <utility>

namespace {

// `queryKey` "f" or "m", `entry` the ID or member name. The entry, destination and host are
// read once, so that an edit made while the job waits cannot make the walk look for a page
// other than the one fetched. The page file lies inside the destination folder, whether or
// not its text ends in a separator.
void RunGalleryJob(TJobForm& form, const std::string& queryKey, const std::string& entry)
{
    form.BeginJob();
    form.SetStatusText(_("getting list . . . "));
    const std::string destination = form.DestinationText();
    if (!platform::DirectoryExists(destination))
        platform::CreateDir(destination);
    form.ClearLog();
    form.LastFolderPath.clear();
    platform::TempFile pageFile = form.NewTempFile(destination);
    if (!pageFile)
        throw EInOutError(platform::Fill(_("cannot create a file in %1: %2"), {destination, platform::ErrorText(pageFile.Error())}));
    const std::string url = GalleryUrl(form.SiteTag, "/cgi-bin/gallery.cgi?" + queryKey + "=" + entry);
    if (!FetchPage(form, url, pageFile.Path())) {
        form.Run.Problem = platform::Fill(_("first page not obtained: %1: %2"), {url, form.Run.LastPageFailure});
        form.EndJob(TJobOutcome::FirstPageFailed);
        return;
    }
    form.AppendLog(url);
    WalkFetchedPage(form, std::move(pageFile), entry);
    form.SetStatusText(_(". . . done getting files"));
    // The walk says when the first page showed no gallery to walk.
    if (form.Run.Outcome != TJobOutcome::Completed)
        form.Run.Problem = url + ": " + form.Run.Problem;
    form.EndJob(form.Run.Outcome);
}

}  // namespace

void StartFolderJob(TJobForm& form)
{
    RunGalleryJob(form, "f", form.FolderIdText());
}

void StartMemberJob(TJobForm& form)
{
    RunGalleryJob(form, "m", form.MemberText());
}
