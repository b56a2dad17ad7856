#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"
#include "server/server.h"

// Every connection the parent holds rather than a worker: those whose
// request head is still on its way, those whose head is complete but no
// worker is free, and those a worker handed back to finish sending or to
// close. One that sends nothing, or reads a byte now and then, costs a few
// kilobytes of the kernel's and a slot of these tables, not a process. The
// tables are mapped outside every worker's memory, so that a fork neither
// copies them nor lets a worker read another client's state.

namespace {

constexpr int no_fd = -1;

// One list per place, first in first out, linked through the slots by
// descriptor number: a connection joins at the end and may leave from
// anywhere. Each list is in the order of its slots' `since_ms`, so the
// first is always the one due next.
struct fd_list {
    int first = no_fd;
    int last = no_fd;
    std::size_t count = 0;
};

struct room_tables {
    int epoll_fd = -1;
    std::size_t capacity = 0;     // descriptors the held connections may use
    std::size_t descriptors = 0;  // the highest descriptor number, and one
    std::size_t used = 0;         // descriptors held: a download holds two
    connection_slot* slots = nullptr;
    fd_list lists[room_place_count];
};

room_tables room;

// Client bytes the parent looks at or throws away pass through here, and
// no worker has a copy of it: a worker must not find another client's head.
char* client_bytes = nullptr;

fd_list& list_of(room_place place)
{
    return room.lists[static_cast<int>(place)];
}

void unlink_slot(int fd)
{
    connection_slot& slot = room.slots[fd];
    fd_list& list = list_of(slot.place);
    if (slot.previous == no_fd)
        list.first = slot.next;
    else
        room.slots[slot.previous].next = slot.next;
    if (slot.next == no_fd)
        list.last = slot.previous;
    else
        room.slots[slot.next].previous = slot.previous;
    --list.count;
    slot.place = room_place::none;
}

void link_last(int fd, room_place place)
{
    connection_slot& slot = room.slots[fd];
    fd_list& list = list_of(place);
    slot.place = place;
    slot.previous = list.last;
    slot.next = no_fd;
    if (list.last == no_fd)
        list.first = fd;
    else
        room.slots[list.last].next = fd;
    list.last = fd;
    ++list.count;
}

std::size_t descriptors_of(const connection_slot& slot)
{
    return slot.file_fd >= 0 ? 2 : 1;
}

}  // namespace

void* map_unshared(std::size_t bytes)
{
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    (void)::madvise(memory, bytes, MADV_DONTFORK);
    return memory;
}

bool open_waiting_room(std::size_t capacity, std::size_t descriptors)
{
    room.capacity = capacity;
    room.descriptors = descriptors;
    room.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    room.slots = static_cast<connection_slot*>(map_unshared(descriptors * sizeof(connection_slot)));
    client_bytes = static_cast<char*>(map_unshared(client_bytes_size));
    return room.epoll_fd >= 0 && room.slots != nullptr && client_bytes != nullptr;
}

int waiting_room_fd()
{
    return room.epoll_fd;
}

bool waiting_room_full()
{
    return room.used >= room.capacity;
}

std::size_t waiting_room_held()
{
    std::size_t held = 0;
    for (const fd_list& list : room.lists)
        held += list.count;
    return held;
}

std::size_t held_in(room_place place)
{
    return list_of(place).count;
}

char* client_byte_buffer()
{
    return client_bytes;
}

head_state look_at_head(int fd, bool client_done)
{
    // Only the end of the head is looked for, in memory no worker
    // inherits; what was looked at stays in the socket for the worker.
    ssize_t got = ::recv(fd, client_bytes, request_buffer_size - 1, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? head_state::silent
                                                                         : head_state::gone;
    if (got == 0)
        return head_state::gone;
    auto length = static_cast<std::size_t>(got);
    if (client_done || length == request_buffer_size - 1 ||
        head_is_complete(std::string_view(client_bytes, length)))
        return head_state::complete;
    return head_state::partial;
}

bool watch_connection(int fd, std::uint32_t events)
{
    // Edge-triggered: told of each change, not again and again of bytes
    // that are only looked at or of room that is not used.
    struct epoll_event event = {};
    event.events = events | EPOLLET;
    event.data.fd = fd;
    if (::epoll_ctl(room.epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0)
        return true;
    return errno == EEXIST && ::epoll_ctl(room.epoll_fd, EPOLL_CTL_MOD, fd, &event) == 0;
}

bool hold_connection(int fd, long long since_ms, room_place place, int file_fd)
{
    if (fd < 0 || static_cast<std::size_t>(fd) >= room.descriptors || place == room_place::none)
        return false;
    connection_slot& slot = room.slots[fd];
    if (slot.place != room_place::none)
        return false;
    std::memset(&slot, 0, sizeof slot);
    slot.file_fd = file_fd;
    slot.since_ms = since_ms;
    room.used += descriptors_of(slot);
    link_last(fd, place);
    return true;
}

void move_connection(int fd, room_place place, long long since_ms)
{
    connection_slot& slot = room.slots[fd];
    unlink_slot(fd);
    slot.since_ms = since_ms;
    link_last(fd, place);
}

connection_slot& slot_of(int fd)
{
    return room.slots[fd];
}

void close_file(int fd)
{
    connection_slot& slot = room.slots[fd];
    if (slot.file_fd < 0)
        return;
    ::close(slot.file_fd);
    slot.file_fd = -1;
    --room.used;
}

room_place place_of(int fd)
{
    if (fd < 0 || static_cast<std::size_t>(fd) >= room.descriptors)
        return room_place::none;
    return room.slots[fd].place;
}

void let_go(int fd)
{
    connection_slot& slot = room.slots[fd];
    if (slot.place == room_place::none)
        return;
    // A worker may still hold a copy of the descriptor, which would keep
    // the registration alive after the parent's is closed.
    (void)::epoll_ctl(room.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    room.used -= descriptors_of(slot);
    if (slot.file_fd >= 0)
        ::close(slot.file_fd);
    slot.file_fd = -1;
    unlink_slot(fd);
}

int first_held(room_place place)
{
    return list_of(place).first;
}

int next_held(int fd)
{
    return room.slots[fd].next;
}
