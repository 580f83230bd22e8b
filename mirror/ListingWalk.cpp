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
    // Where a listing page's path leads: the page's folder, the request that asks for it, and
    // its key among the walked pages. A Next page's path names its folder before the CGI call.
    struct TListingPage {
        std::string LocalSubPath;
        std::string Request;
        bool NextPageCall = false;
        std::string Walked{};
    };
    static TListingPage PageOf(const std::string& path)
    {
        TListingPage page{ReplaceAll(path, "/", "\\"), path};
        const int cgi = Pos(page.LocalSubPath, "cgi-bin");
        const int cgiCall = Pos(path, "/cgi-bin/");
        page.NextPageCall = cgiCall > 0;
        if (cgi > 0) {
            page.LocalSubPath = KeepFirst(page.LocalSubPath, cgi - 1);
            page.Request = DropFirst(path, cgiCall - 1);
        }
        page.Walked = "listing:" + page.LocalSubPath + " " + page.Request;
        return page;
    }

    // One listing page; the argument for the next page's walk, or empty.
    std::string WalkPage(const std::string& path)
    {
        std::string nextLink;
        job_.SetStatusText(_("Getting directory listing . . ."));
        if (!IsSafeServerPath(path))
            return Refuse(platform::Fill(_("** Skipping unsafe path %1"), {Printable(path)}));
        const TListingPage page = PageOf(path);
        const std::string url = GalleryUrl(job_.SiteTag, page.Request);
        if (job_.Run.WalkedPages.count(page.Walked))
            return Refuse(platform::Fill(_("** Skipping already walked page %1"), {url}));
        job_.MakeLocalFolders(page.LocalSubPath);
        const platform::TempFile listing = Fetch(url, job_.Options.Destination + page.LocalSubPath);
        if (!listing)
            return {};
        job_.Run.WalkedPages.insert(page.Walked);
        const std::string folderPath = page.NextPageCall ? ReplaceAll(page.LocalSubPath, "\\", "/") : page.Request;

        std::string text;
        if (!ReadListing(listing.Path(), text) || !Contains(text, "_thumb.jpg") ||
            !WalkLines(text, folderPath, nextLink) || nextLink.empty())
            return {};
        return folderPath + nextLink;
    }

    // The page of `url` in a file of `folder`; no file when it was not obtained.
    platform::TempFile Fetch(const std::string& url, const std::string& folder)
    {
        platform::TempFile listing = job_.NewPageFile(folder);
        if (!listing || !FetchPageOfWalk(job_, url, listing.Path()))
            return {};
        return listing;
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

    // The pictures of the page; false when cancel ends the walk. Over connections of their own
    // they may still be on their way when the walk goes on to the next page, whose lines wait
    // behind them in the log; they are all reported before the cancel line.
    bool WalkLines(const std::string& text, const std::string& path, std::string& nextLink)
    {
        downloads_ = &job_.Downloads();
        if (WalkPictureLines(text, path, nextLink))
            return true;
        job_.FinishDownloads();
        job_.AppendLog(CancelLine());
        return false;
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
    job.FinishWalk();
}
