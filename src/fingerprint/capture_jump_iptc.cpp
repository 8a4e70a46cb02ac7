// Reading a legacy (ip_tables) table through libiptc, for the capture jump
// check. A file of its own: libiptc's kernel headers and the C library's
// network headers do not mix in one translation unit.
#ifdef ZELMO_HAVE_IPTC_CHECK
#include "fingerprint/fingerprint.h"

#include <cstring>
#include <libiptc/libiptc.h>
#include <memory>

namespace
{

struct IptcFree {
    void operator()(xtc_handle *h) const { iptc_free(h); }
};

} // namespace

int iptc_jump_present(const char *table, const char *chain, const char *target)
{
    std::unique_ptr<xtc_handle, IptcFree> handle(iptc_init(table));
    if (!handle)
        return -1;
    if (!iptc_is_chain(chain, handle.get()))
        return 0;
    for (const ipt_entry *e = iptc_first_rule(chain, handle.get()); e != nullptr;
         e = iptc_next_rule(e, handle.get())) {
        const char *name = iptc_get_target(e, handle.get());
        if (name != nullptr && strcmp(name, target) == 0)
            return 1;
    }
    return 0;
}
#endif
