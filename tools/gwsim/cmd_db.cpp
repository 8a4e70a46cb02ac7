// "gwsim db": the device database file, one readable line per record.
#include "args.h"
#include "commands.h"
#include "records.h"
#include "store.h"

#include "platform/root.h"

int cmd_db(int argc, char **argv)
{
    Args a;
    if (!a.parse(argc, argv, 0) || !a.only({"file", "mac"}) || !a.positional().empty())
        return fail(2, "db: %s", a.error().empty() ? "unexpected word" : a.error().c_str());
    std::string path = a.get("file", root_path("/configs/devices.db"));
    Bytes image;
    if (!read_whole_file(path, image))
        return fail(1, "cannot read %s", path.c_str());
    std::vector<std::string> lines;
    std::string err;
    if (!database_lines(image, lines, err))
        return fail(1, "%s: %s", path.c_str(), err.c_str());
    std::string mac = a.get("mac");
    bool found = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!mac.empty()) {
            if (i == 0 || lines[i].size() < 17 ||
                !text_equal_nocase(lines[i].substr(0, 17).c_str(), mac.c_str()))
                continue;
            found = true;
        }
        out_line("%s", lines[i].c_str());
    }
    return mac.empty() || found ? 0 : 1;
}
