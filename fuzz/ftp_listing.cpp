// FTP directory listings, line by line as the data connection delivers them: the split into
// blank-separated fields and the entries of a Unix-style long listing picked out of them.
#include "harness.h"

#include "net/FTPDirectoryList.h"

#include <algorithm>
#include <string_view>

namespace {

void CheckFields(const TFTPDirectoryList& list)
{
    fuzz::Expect(list.FieldCount >= 1 && static_cast<std::size_t>(list.FieldCount) <= list.Fields.size(),
                 "the field count names fields of the table");
    fuzz::Expect(list.Fields.size() == std::max<std::size_t>(TFTPDirectoryList::FieldTableSize,
                                                             static_cast<std::size_t>(list.FieldCount)),
                 "the table grows for a long line only");
    for (int n = 1; n <= list.FieldCount; ++n) {
        const std::string& field = list.Field(n);
        fuzz::Expect(field.size() <= TFTPDirectoryList::MaxFieldLength, "a field is cut to its limit");
        fuzz::Expect(field.find(' ') == std::string::npos, "a field holds no blank");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string listing = fuzz::Text(data, size);
    TFTPUnixList list;
    std::string_view rest = listing;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        std::string line(rest.substr(0, lf));
        rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.pop_back();

        const std::size_t entries = list.FileNames.size();
        list.ParseLine(line);
        CheckFields(list);
        const bool entry = list.FieldCount > 7;
        const std::size_t count = list.FileNames.size();
        fuzz::Expect(count == entries + (entry ? 1 : 0), "a long line gives one entry, others none");
        fuzz::Expect(list.FileSizes.size() == count && list.FileDates.size() == count &&
                         list.FileModes.size() == count,
                     "the entry lists run in step");
        if (entry)
            fuzz::Expect(list.FileNames.back() == list.Field(list.FieldCount), "the name is the last field");
    }
    return 0;
}
