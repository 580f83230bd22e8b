#include "mirror/ListingWalk.h"

#include "mirror/DownloadPool.h"
#include "mirror/DownloadStep.h"
#include "mirror/FileTransfer.h"
#include "mirror/JobState.h"
#include "mirror/PageFetch.h"
#include "mirror/pagelines.h"
#include "mirror/strutil.h"
#include "platform/catalogue.h"
#include "platform/files.h"

#include <string_view>

namespace {

// Walks the listing pages of one picture folder, one page after the other.
class TListingWalk {
public:
    explicit TListingWalk(TJobState& job) : job_(job), scope_(job.Run) {}

    // Each page names the next; a loop keeps a long chain of them off the stack.
    void Walk(const std::string& path)
    {
        for (std::string page = path; !page.empty();)
            page = WalkPage(page);
    }

private:
    // One listing page; the argument for the next page's walk, or empty.
    std::string WalkPage(std::string path)
    {
        std::string nextLink;
        job_.SetStatusText(_("Getting directory listing . . ."));
        if (!IsSafeServerPath(path))
            return Refuse(platform::Fill(_("** Skipping unsafe path %1"), {Printable(path)}));

        std::string localSubPath = ReplaceAll(path, "/", "\\");
        const int cgi = Pos(localSubPath, "cgi-bin");
        const int cgiCall = Pos(path, "/cgi-bin/");
        const bool nextPageCall = cgiCall > 0;
        if (cgi > 0) {
            localSubPath = KeepFirst(localSubPath, cgi - 1);
            path = DropFirst(path, cgiCall - 1);
        }
        const std::string walked = "listing:" + localSubPath + " " + path;
        if (job_.Run.WalkedPages.count(walked))
            return Refuse(platform::Fill(_("** Skipping already walked page %1"), {GalleryUrl(job_.SiteTag, path)}));
        job_.MakeLocalFolders(localSubPath);
        const platform::TempFile listing = job_.NewPageFile(job_.Options.Destination + localSubPath);
        if (!listing || !FetchPageOfWalk(job_, GalleryUrl(job_.SiteTag, path), listing.Path()))
            return {};
        job_.Run.WalkedPages.insert(walked);
        if (nextPageCall)
            path = ReplaceAll(localSubPath, "\\", "/");

        std::string text;
        if (!ReadListing(listing.Path(), text) || !Contains(text, "_thumb.jpg") ||
            !WalkLines(text, path, nextLink) || nextLink.empty())
            return {};
        return path + nextLink;
    }

    std::string Refuse(const std::string& line)
    {
        job_.AppendLog(line);
        return {};
    }

    // The listing's page text, after one script redirect; false when the
    // redirect target cannot be used or fetched.
    bool ReadListing(const std::string& listingName, std::string& text)
    {
        text = ReadPageText(listingName);
        if (!Contains(text, "this.location.replace"))
            return true;
        std::string target = DropFirst(text, Pos(text, "('") + 1);
        target = KeepFirst(target, Pos(target, "')") - 1);
        if (!IsSafeServerPath(target)) {
            job_.AppendLog(platform::Fill(_("** Skipping unsafe path %1"), {Printable(target)}));
            return false;
        }
        if (!FetchPageOfWalk(job_, GalleryUrl(job_.SiteTag, target), listingName))
            return false;
        text = ReadPageText(listingName);
        return true;
    }

    // The pictures of the page; false when cancel ends the walk. They are all reported before
    // the cancel line or the next page; a cancel that leaves some of them unstarted ends the walk.
    bool WalkLines(const std::string& text, const std::string& path, std::string& nextLink)
    {
        downloads_ = &job_.Downloads();
        bool whole = WalkPictureLines(text, path, nextLink);
        whole = job_.FinishDownloads() && whole;
        if (!whole)
            job_.AppendLog(CancelLine());
        return whole;
    }

    bool WalkPictureLines(const std::string& text, const std::string& path, std::string& nextLink)
    {
        std::string_view rest = text;
        std::string line;
        do {
            if (rest.empty())
                return true;
            line = TakeFirstLine(rest);
        } while (!Contains(line, "_thumb.jpg"));
        for (;;) {
            job_.ProcessPendingMessages();
            if (job_.StopRequested)
                return false;
            if (Contains(line, "Next</B></A>"))
                nextLink = CutNextLink(line);
            if (Contains(line, "_thumb.jpg") && !Contains(line, "cgi?f") && Contains(line, "SRC=/gallery/"))
                DownloadPicture(line, path);
            if (rest.empty())
                return true;
            line = TakeFirstLine(rest);
            if (Contains(line, "</HTML>"))
                return true;
        }
    }

    // One picture entry.
    void DownloadPicture(const std::string& line, const std::string& path)
    {
        std::string name = DropFirst(line, Pos(line, "ALT=\"") + 4);
        name = KeepFirst(name, Pos(name, "\"") - 1);
        if (!IsSafeName(name)) {
            job_.AppendLog(platform::Fill(_("** Skipping unsafe file name %1"), {Printable(name)}));
            return;
        }
        const std::string localSubPath = ReplaceAll(path, "/", "\\");
        const std::string localFolder = job_.Options.Destination + localSubPath;
        job_.MakeLocalFolders(localSubPath);
        downloads_->Add(path + name, localFolder, GalleryUrl(job_.SiteTag, path + name), name);
    }

    TJobState& job_;
    TWalkScope scope_;
    // The listing's scheduler, decided per listing, so that a pause switched on halfway never
    // splits a listing's log.
    TDownloadPool* downloads_ = nullptr;
};

}  // namespace

void WalkPictureListing(TJobState& job, const std::string& path)
{
    TListingWalk(job).Walk(path);
}
