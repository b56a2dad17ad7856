#include <cerrno>
#include <cstdint>
#include <fstream>
#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox/sandbox.h"

namespace {

// Where the server stands: not root, root, or root no longer. Inherited by
// every worker. A server started by a user may still hold capabilities (an
// ambient one that let it bind a low port, say), which no worker keeps.
enum class identity : unsigned char { unprivileged, root, left_root };
identity server_identity = identity::unprivileged;
bool holds_capabilities = false;
bool root_without_nobody = false;

// Whether nobody's user and group exist in this process's user namespace,
// and its groups may be given up there. `unshare --map-root-user` maps
// only its caller, as 0, and denies setgroups: root there cannot become
// nobody.
bool nobody_is_mapped()
{
    for (const char* map : {"/proc/self/uid_map", "/proc/self/gid_map"}) {
        std::ifstream lines(map);
        bool mapped = false;
        for (unsigned long inside, outside, count; lines >> inside >> outside >> count;)
            mapped = mapped || (nobody_id >= inside && nobody_id - inside < count);
        if (!mapped)
            return false;
    }
    std::ifstream setgroups("/proc/self/setgroups");
    std::string allowed = "allow";
    setgroups >> allowed;
    return allowed == "allow";
}

bool read_capabilities(__user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3])
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool write_capabilities(__user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3])
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capset, &header, data) == 0;
}

// Every capability let go of, for good: permitted, effective, inheritable,
// and with them the ambient ones.
bool drop_capabilities()
{
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    return write_capabilities(none);
}

// No supplementary groups, then the group, then the user: once the user
// is nobody, the rest could no longer be changed. Without the keep flag,
// every capability goes with root.
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
    // Root where nobody does not exist serves as what it is outside, the
    // user who made the namespace, with no capability: as a user would.
    if (::geteuid() == 0 || ::getuid() == 0) {
        root_without_nobody = !nobody_is_mapped();
        server_identity = root_without_nobody ? identity::unprivileged : identity::root;
    }
    // Ambient and inheritable capabilities matter only to a program run
    // from here, which the server never does: gone at once, in the parent
    // and in every process it forks, the start-up trials included.
    (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (!read_capabilities(data))
        return;
    for (auto& part : data) {
        part.inheritable = 0;
        holds_capabilities = holds_capabilities || part.permitted != 0;
    }
    (void)write_capabilities(data);
}

bool started_as_root()
{
    return server_identity != identity::unprivileged;
}

bool started_as_root_without_nobody()
{
    return root_without_nobody;
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
    if (server_identity == identity::root) {
        if (const char* failed = become_nobody())
            return failed;
        server_identity = identity::left_root;
    }
    // Whatever let it bind is needed no more; a capability kept would
    // open what nobody may not.
    if (holds_capabilities && !drop_capabilities())
        return "capset";
    holds_capabilities = false;
    return nullptr;
}

bool leave_root()
{
    switch (server_identity) {
    case identity::unprivileged: return !holds_capabilities || drop_capabilities();
    case identity::root: return become_nobody() == nullptr && drop_capabilities();
    case identity::left_root: return true;
    }
    return false;
}
