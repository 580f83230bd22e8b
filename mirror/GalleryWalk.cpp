#include "mirror/GalleryWalk.h"

#include "mirror/JobState.h"
#include "mirror/ListingWalk.h"
#include "mirror/PageFetch.h"
#include "mirror/pagelines.h"
#include "mirror/strutil.h"
#include "platform/catalogue.h"

#include <deque>
#include <string_view>
#include <utility>

namespace {

// Sub-folders nested deeper than this are not walked: a server that invents ever new folder
// IDs must not be able to exhaust the stack.
constexpr int MaxFolderDepth = 200;

// One gallery page being walked.
struct TGalleryPage {
    platform::TempFile file;  // deleted when the walk of the page ends, however it ends
    std::string bytes;      // the page text, or what was left of it when a next page was met
    std::string_view text;  // the part of `bytes` not yet cut into lines
    std::string line;
    std::string subPath;    // of the last sub-folder entry met on this page
    bool handedOver = false;
    bool ended = false;
    bool resuming = false;  // its next page has been walked; go on after the "Next" line

    // Cuts the next line; false when the page text is used up.
    bool CutLine()
    {
        if (text.empty())
            return false;
        line = TakeFirstLine(text);
        return true;
    }
};

// Walks one gallery page and, in a loop rather than by recursion, the chain of next pages it
// leads to; sub-folders are walked by a nested walk of their own.
class TGalleryWalk {
public:
    explicit TGalleryWalk(TJobState& job) : job_(job), scope_(job.Run) {}

    // `id`: the folder ID or member name whose page is in `pageFile`.
    void Walk(platform::TempFile pageFile, const std::string& id)
    {
        if (job_.Run.WalkNesting == 1)
            job_.Run.WalkedPages.insert("folder:" + id);
        Enter(std::move(pageFile));
        while (!chain_.empty()) {
            TGalleryPage& page = chain_.back();
            platform::TempFile next;
            if (!page.ended && WalkLines(page, next))
                Enter(std::move(next));
            else
                Leave();
        }
    }

private:
    enum class TOutcome { Continue, EndWalk, NextPage };

    void Enter(platform::TempFile pageFile)
    {
        if (!chain_.empty()) {
            // Only the rest of a page waiting for its next page is kept, not the whole page.
            TGalleryPage& waiting = chain_.back();
            std::string rest(waiting.text);
            waiting.bytes = std::move(rest);
            waiting.text = waiting.bytes;
        }
        const bool firstPage = chain_.empty() && job_.Run.WalkNesting == 1;
        TGalleryPage& page = chain_.emplace_back();  // a deque: earlier pages stay in place
        page.file = std::move(pageFile);
        page.ended = !Open(page, firstPage);
    }

    // The page's walk has ended: the page that led to it carries on after its "Next" line.
    void Leave()
    {
        chain_.pop_back();
        if (!chain_.empty())
            job_.LastFolderPath = chain_.back().subPath;
    }

    // Reads the page and scans its header; false when the walk of it ends there.
    // A first page that the gallery answered with an error leaves the job without work; a later
    // one is a failed page. A page without lines is simply an empty one.
    bool Open(TGalleryPage& page, bool firstPage)
    {
        const THead head = Scan(page);
        if (head == THead::Walkable || head == THead::Empty)
            return head == THead::Walkable;
        if (!firstPage) {
            ++job_.Run.Tally.PagesFailed;
        } else if (head == THead::UnknownFolder) {
            job_.Run.Outcome = TJobOutcome::FolderNotFound;
            job_.Run.Problem = _("the gallery knows no such folder ID");
        } else {
            job_.Run.Outcome = TJobOutcome::MemberNotFound;
            job_.Run.Problem = _("the gallery shows no such user directory");
        }
        return false;
    }

    // What a page's header says about it.
    enum class THead { Walkable, Empty, UnknownFolder, NoUserDirectory };

    THead Scan(TGalleryPage& page)
    {
        job_.SetStatusText(_("Finding directories . . ."));
        page.bytes = ReadPageText(page.file.Path());
        page.text = page.bytes;
        bool error = false;
        do {
            if (!page.CutLine())
                return THead::Empty;
            if (Contains(page.line, "Client Error")) {
                job_.AppendLog(_("** ERROR - i can't find this folder ID.  Please check the folder ID."));
                error = true;
            }
        } while (!Contains(page.line, "/cgi-bin/gallery.cgi?") && !Contains(page.line, "</HTML>"));
        if (error)
            return THead::UnknownFolder;
        if (Contains(page.line, "</HTML>")) {
            job_.AppendLog(_("** ERROR - i can't find this user directory.  Please check the USER ID."));
            return THead::NoUserDirectory;
        }
        return THead::Walkable;
    }

    // The page's lines, one rule each; true when it stopped at a next page that is ready to be walked.
    bool WalkLines(TGalleryPage& page, platform::TempFile& next)
    {
        for (bool treat = !std::exchange(page.resuming, false);; treat = true) {
            if (treat) {
                if (job_.StopRequested) {
                    job_.FinishDownloads();
                    job_.AppendLog(CancelLine());
                    return false;
                }
                job_.ProcessPendingMessages();
                const TOutcome outcome = Treat(page, next);
                if (outcome == TOutcome::EndWalk)
                    return false;
                if (outcome == TOutcome::NextPage) {
                    page.resuming = true;
                    return true;
                }
            }
            if (!page.CutLine() || Contains(page.line, "</HTML>") || page.handedOver)
                return false;
        }
    }

    // The first rule that matches the current line.
    TOutcome Treat(TGalleryPage& page, platform::TempFile& next)
    {
        const std::string& line = page.line;
        if (Contains(line, "\">Up</A></CODE></TD></TD>"))
            return TOutcome::Continue;
        if (Contains(line, "/cgi-bin/gallery.cgi?f="))
            return WalkSubFolder(page) ? TOutcome::Continue : TOutcome::EndWalk;
        if (Contains(line, "/cgi-bin/gallery.cgi?i=") || Contains(line, "_thumb.")) {
            HandOver(page);
            return TOutcome::Continue;
        }
        if (Contains(line, "Next</B></A>"))
            return FetchNextPage(page, next);
        return TOutcome::Continue;
    }

    // A sub-folder's page, walked before the rest of this one; false when it could not be fetched.
    bool WalkSubFolder(TGalleryPage& page)
    {
        std::string link = DropFirst(page.line, Pos(page.line, "/cgi-bin/"));
        link = KeepFirst(link, Pos(link, "\"><") - 1);
        std::string thumbnail = ThumbnailPath(page.line);
        thumbnail = KeepFirst(thumbnail, Pos(thumbnail, "/thumb/") - 1);
        std::string subPath = ReplaceAll(thumbnail, "/", "\\");
        const std::string id = DropFirst(link, Pos(link, "="));
        const std::string url = GalleryUrl(job_.SiteTag, "/" + link);
        if (!MayWalkSubFolder(id, thumbnail, link, url))
            return true;

        job_.AppendLog(url);
        if (subPath.empty() && !job_.LastFolderPath.empty())
            subPath = job_.LastFolderPath;
        page.subPath = subPath;
        job_.MakeLocalFolders(subPath);
        platform::TempFile pageFile = job_.NewPageFile(job_.Options.Destination + subPath + "\\");
        if (!pageFile)
            return true;
        if (!FetchPageOfWalk(job_, url, pageFile.Path()))
            return false;
        job_.Run.WalkedPages.insert("folder:" + id);
        WalkFetchedPage(job_, std::move(pageFile), id);
        job_.LastFolderPath = subPath;
        return true;
    }

    // What the server named must be fit for the disk, and a folder is walked once, not too deep.
    bool MayWalkSubFolder(const std::string& id, const std::string& thumbnail, const std::string& link,
                          const std::string& url)
    {
        if (!IsSafeName(id))
            return Refuse(platform::Fill(_("** Skipping unsafe folder ID %1"), {Printable(id)}));
        if (!IsSafeServerPath(thumbnail))
            return Refuse(platform::Fill(_("** Skipping unsafe path %1"), {Printable(thumbnail)}));
        if (!IsSafeServerPath(link))
            return Refuse(platform::Fill(_("** Skipping unsafe path %1"), {Printable(link)}));
        if (job_.Run.WalkNesting > MaxFolderDepth)
            return Refuse(platform::Fill(_("** Skipping too deeply nested folder %1"), {url}));
        if (job_.Run.WalkedPages.count("folder:" + id))
            return Refuse(platform::Fill(_("** Skipping already walked page %1"), {url}));
        return true;
    }

    bool Refuse(const std::string& line)
    {
        job_.AppendLog(line);
        return false;
    }

    // The folder shows pictures: the listing walk fetches them, and this page is done.
    void HandOver(TGalleryPage& page)
    {
        const std::string thumbnail = ThumbnailPath(page.line);
        WalkPictureListing(job_, KeepFirst(thumbnail, Pos(thumbnail, "/thumb/")));
        page.handedOver = true;
    }

    // The "Next" page, up to its fetch; the walk of the fetched page is the caller's loop.
    TOutcome FetchNextPage(TGalleryPage& page, platform::TempFile& next)
    {
        std::string line = page.line;
        const std::string link = CutNextLink(line);
        std::string number = DropFirst(line, Pos(line, "&n") + 2);
        number = KeepFirst(number, Pos(number, "\"") - 1);
        const std::string url = GalleryUrl(job_.SiteTag, "/" + link);
        if (!IsSafeName(number))
            return Skip(platform::Fill(_("** Skipping unsafe page number %1"), {Printable(number)}));
        if (!IsSafeServerPath(link))
            return Skip(platform::Fill(_("** Skipping unsafe path %1"), {Printable(link)}));
        if (job_.Run.WalkedPages.count("page:" + url))
            return Skip(platform::Fill(_("** Skipping already walked page %1"), {url}));

        next = job_.NewPageFile(job_.Options.Destination + page.subPath + "\\");
        if (!next)
            return TOutcome::Continue;
        if (!FetchPageOfWalk(job_, url, next.Path()))
            return TOutcome::EndWalk;
        job_.Run.WalkedPages.insert("page:" + url);
        return TOutcome::NextPage;
    }

    TOutcome Skip(const std::string& line)
    {
        job_.AppendLog(line);
        return TOutcome::Continue;
    }

    TJobState& job_;
    TWalkScope scope_;
    std::deque<TGalleryPage> chain_;  // the page and the next pages it led to, innermost last
};

}  // namespace

void WalkGalleryPage(TJobState& job, const std::string& folder, const std::string& name)
{
    WalkFetchedPage(job, platform::TempFile(folder + name + ".html"), name);
}

void WalkFetchedPage(TJobState& job, platform::TempFile page, const std::string& id)
{
    TGalleryWalk(job).Walk(std::move(page), id);
    job.FinishWalk();
}
