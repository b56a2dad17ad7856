#include <cerrno>
#include <cstdint>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/sandbox.h"

namespace {

// Where the server stands: not root, root, or root no longer but for the
// one capability that opens a root directory below one only root may
// enter. Inherited by every worker.
enum class identity : unsigned char { unprivileged, root, keeps_search };
identity server_identity = identity::unprivileged;

// The capabilities that stay: `permitted` as both permitted and effective.
bool set_capabilities(std::uint32_t permitted)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = permitted;
    data[0].permitted = permitted;
    return ::syscall(SYS_capset, &header, data) == 0;
}

// No supplementary groups, then the group, then the user: once the user
// is nobody, the rest could no longer be changed.
const char* become_nobody()
{
    if (::setgroups(0, nullptr) != 0)
        return "setgroups";
    if (::setresgid(nobody_id, nobody_id, nobody_id) != 0)
        return "setresgid";
    if (::setresuid(nobody_id, nobody_id, nobody_id) != 0)
        return "setresuid";
    return nullptr;
}

}  // namespace

void note_identity()
{
    if (::geteuid() == 0 || ::getuid() == 0)
        server_identity = identity::root;
}

bool started_as_root()
{
    return server_identity != identity::unprivileged;
}

bool nobody_can_search(const struct stat& status)
{
    mode_t bit = status.st_uid == nobody_id   ? S_IXUSR
                 : status.st_gid == nobody_id ? S_IXGRP
                                              : S_IXOTH;
    return (status.st_mode & bit) != 0;
}

const char* leave_root_in_parent()
{
    if (server_identity != identity::root)
        return nullptr;
    // Capabilities survive the change of user only when asked to, and then
    // all of them: every one but the search is let go at once.
    if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0)
        return "prctl";
    if (const char* failed = become_nobody())
        return failed;
    (void)::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    if (!set_capabilities(1u << CAP_DAC_READ_SEARCH))
        return "capset";
    server_identity = identity::keeps_search;
    return nullptr;
}

bool leave_root()
{
    switch (server_identity) {
    case identity::unprivileged: return true;
    case identity::root:
        // Without the keep flag, every capability goes with root.
        return become_nobody() == nullptr && set_capabilities(0);
    case identity::keeps_search: return set_capabilities(0);
    }
    return false;
}
