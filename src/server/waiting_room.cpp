#include <cerrno>
#include <cstdint>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/time_limits.h"
#include "request/request.h"
#include "server/server.h"

// Connections whose request head is still on its way are held here, by
// the parent, rather than by a worker each: one that sends nothing, or a
// byte now and then, costs a few kilobytes of the kernel's and a few bytes
// of these tables, not a process. The tables are mapped outside every
// worker's memory, so that a fork neither copies them nor lets a worker
// read another client's state.

namespace {

struct ring_entry {
    int fd;
    std::uint32_t serial;  // the entry is stale when the fd now holds another
};

// Connections in the order they arrived: their deadlines come in the same
// order, so the first is always the next due.
struct fd_ring {
    ring_entry* slots = nullptr;
    std::size_t capacity = 0;
    std::size_t first = 0;
    std::size_t count = 0;

    ring_entry& at(std::size_t i) { return slots[(first + i) % capacity]; }
    void push(ring_entry entry)
    {
        at(count) = entry;
        ++count;
    }
    void pop()
    {
        first = (first + 1) % capacity;
        --count;
    }
};

struct connection_slot {
    long long accepted_ms;
    std::uint32_t serial;
    room_place place;
};

struct room_tables {
    int epoll_fd = -1;
    std::size_t capacity = 0;     // connections held at once
    std::size_t descriptors = 0;  // the highest descriptor number, and one
    std::size_t held = 0;
    std::uint32_t next_serial = 1;
    connection_slot* slots = nullptr;  // by descriptor number
    fd_ring waiting;                   // head still on its way
    fd_ring ready;                     // head complete, no worker free yet
};

room_tables room;

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

namespace {

bool is_current(const ring_entry& entry)
{
    const connection_slot& slot = room.slots[entry.fd];
    return slot.serial == entry.serial && slot.place != room_place::none;
}

// Drops the stale entries at the front, so that the first is current.
void skip_stale(fd_ring& ring)
{
    while (ring.count > 0 && !is_current(ring.at(0)))
        ring.pop();
}

// Makes room in a full ring by dropping every stale entry, keeping order.
void compact(fd_ring& ring)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < ring.count; ++i)
        if (is_current(ring.at(i)))
            ring.at(kept++) = ring.at(i);
    ring.count = kept;
}

}  // namespace

bool open_waiting_room(std::size_t capacity, std::size_t descriptors)
{
    room.capacity = capacity;
    room.descriptors = descriptors;
    room.epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    room.slots = static_cast<connection_slot*>(map_unshared(descriptors * sizeof(connection_slot)));
    room.waiting.slots = static_cast<ring_entry*>(map_unshared(capacity * sizeof(ring_entry)));
    room.ready.slots = static_cast<ring_entry*>(map_unshared(capacity * sizeof(ring_entry)));
    room.waiting.capacity = capacity;
    room.ready.capacity = capacity;
    return room.epoll_fd >= 0 && room.slots != nullptr && room.waiting.slots != nullptr &&
           room.ready.slots != nullptr;
}

int waiting_room_fd()
{
    return room.epoll_fd;
}

bool waiting_room_full()
{
    return room.held >= room.capacity;
}

std::size_t waiting_room_held()
{
    return room.held;
}

head_state look_at_head(int fd, bool client_done)
{
    // One buffer for every look: only the end of the head is looked for,
    // and nothing of a client's is kept.
    static char peeked[request_buffer_size];
    ssize_t got = ::recv(fd, peeked, sizeof peeked - 1, MSG_PEEK | MSG_DONTWAIT);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? head_state::silent
                                                                         : head_state::gone;
    if (got == 0)
        return head_state::gone;
    auto length = static_cast<std::size_t>(got);
    if (client_done || length == sizeof peeked - 1 ||
        head_is_complete(std::string_view(peeked, length)))
        return head_state::complete;
    return head_state::partial;
}

bool hold_connection(int fd, long long accepted_ms, room_place place)
{
    if (waiting_room_full() || fd < 0 || static_cast<std::size_t>(fd) >= room.descriptors)
        return false;
    fd_ring& ring = place == room_place::waiting ? room.waiting : room.ready;
    if (ring.count == ring.capacity)
        compact(ring);
    if (place == room_place::waiting) {
        // Edge-triggered: told of each new arrival, not again and again of
        // the bytes that are only looked at.
        struct epoll_event event = {};
        event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        event.data.fd = fd;
        if (::epoll_ctl(room.epoll_fd, EPOLL_CTL_ADD, fd, &event) != 0)
            return false;
    }
    connection_slot& slot = room.slots[fd];
    slot = {accepted_ms, room.next_serial++, place};
    ring.push({fd, slot.serial});
    ++room.held;
    return true;
}

room_place place_of(int fd)
{
    if (fd < 0 || static_cast<std::size_t>(fd) >= room.descriptors)
        return room_place::none;
    return room.slots[fd].place;
}

long long accepted_at(int fd)
{
    return room.slots[fd].accepted_ms;
}

void let_go(int fd)
{
    connection_slot& slot = room.slots[fd];
    if (slot.place == room_place::none)
        return;
    // A worker will hold a copy of the descriptor, which would keep the
    // registration alive after the parent's is closed.
    if (slot.place == room_place::waiting)
        (void)::epoll_ctl(room.epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    slot.place = room_place::none;
    --room.held;
}

int first_held(room_place place)
{
    fd_ring& ring = place == room_place::waiting ? room.waiting : room.ready;
    skip_stale(ring);
    return ring.count == 0 ? -1 : ring.at(0).fd;
}
