#include "platform/shared_block.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/names.h"

namespace prt::plat {
namespace {

int open_lock_file(const std::string& name) {
    return ::open(runtime_path(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
}

bool flock_retry(int fd, int op) {
    while (::flock(fd, op) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

void* map_fd(int fd, size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : p;
}

std::string why(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

// Lifetime: every attached process holds a shared lock on "<name>.live" for as long as it
// is attached; the kernel drops it when the process dies, however it dies. Attach and
// detach run under an exclusive lock on "<name>.init". Whoever can take "<name>.live"
// exclusively is alone, so it creates the block afresh (attach) or removes it (detach).
bool SharedBlock::attach(const std::string& name, uint32_t magic, uint32_t version, size_t size,
                         void (*init)(void* block), std::string* error) {
    detach();
    std::string err;
    const std::string shm = posix_name(name);
    const int init_fd = open_lock_file(name + ".init");
    if (init_fd < 0 || !flock_retry(init_fd, LOCK_EX)) {
        if (error) *error = why("init lock");
        if (init_fd >= 0) ::close(init_fd);
        return false;
    }
    int live_fd = open_lock_file(name + ".live");
    void* data = nullptr;
    bool created = false;
    if (live_fd < 0) {
        err = why("live lock");
    } else if (::flock(live_fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody else is attached: whatever is left over belongs to dead processes.
        ::shm_unlink(shm.c_str());
        const int fd = ::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0 ||
            (data = map_fd(fd, size)) == nullptr) {
            err = why("create shared block");
            ::shm_unlink(shm.c_str());
        } else {
            auto* h = static_cast<SharedHeader*>(data);
            h->magic = magic;
            h->version = version;
            h->size = static_cast<uint32_t>(size);
            if (init != nullptr) init(data);
            created = true;
        }
        if (fd >= 0) ::close(fd);
    } else {
        const int fd = ::shm_open(shm.c_str(), O_RDWR | O_CLOEXEC, 0600);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            err = why("open shared block");
        } else if (static_cast<size_t>(st.st_size) < sizeof(SharedHeader)) {
            err = "shared block too small";
        } else {
            const size_t have = static_cast<size_t>(st.st_size);
            data = map_fd(fd, have);
            if (data == nullptr) {
                err = why("map shared block");
            } else {
                const auto* h = static_cast<const SharedHeader*>(data);
                if (h->magic != magic || h->version != version || h->size != size ||
                    have != size) {
                    err = "shared block of another layout is in use (magic, version or size differ)";
                    ::munmap(data, have);
                    data = nullptr;
                }
            }
        }
        if (fd >= 0) ::close(fd);
    }
    if (data != nullptr && !flock_retry(live_fd, LOCK_SH)) {
        err = why("live lock");
        ::munmap(data, size);
        data = nullptr;
    }
    if (data == nullptr && live_fd >= 0) {
        ::close(live_fd);
        live_fd = -1;
    }
    ::flock(init_fd, LOCK_UN);
    ::close(init_fd);
    if (data == nullptr) {
        if (error) *error = err;
        return false;
    }
    name_ = name;
    data_ = data;
    size_ = size;
    live_fd_ = live_fd;
    created_ = created;
    return true;
}

void SharedBlock::detach() {
    if (data_ == nullptr) return;
    const int init_fd = open_lock_file(name_ + ".init");
    if (init_fd >= 0) flock_retry(init_fd, LOCK_EX);
    ::munmap(data_, size_);
    data_ = nullptr;
    // Converting our shared lock to exclusive succeeds only when we are the last one.
    if (::flock(live_fd_, LOCK_EX | LOCK_NB) == 0) ::shm_unlink(posix_name(name_).c_str());
    ::close(live_fd_);
    live_fd_ = -1;
    if (init_fd >= 0) {
        ::flock(init_fd, LOCK_UN);
        ::close(init_fd);
    }
}

void* section_create(const std::string& name, size_t size) {
    // An existing section of the right size is cleared in place, so that every process
    // that has it mapped sees the fresh log; otherwise it is made anew.
    int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) == size) {
            void* p = map_fd(fd, size);
            ::close(fd);
            if (p != nullptr) std::memset(p, 0, size);
            return p;
        }
        ::close(fd);
        ::shm_unlink(name.c_str());
    }
    fd = ::shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    void* p = nullptr;
    if (::ftruncate(fd, static_cast<off_t>(size)) == 0) p = map_fd(fd, size);
    ::close(fd);
    return p;
}

void* section_open(const std::string& name, size_t size) {
    const int fd = ::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    void* p = nullptr;
    if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= size) p = map_fd(fd, size);
    ::close(fd);
    return p;
}

void section_unmap(void* base, size_t size) {
    if (base != nullptr) ::munmap(base, size);
}

}  // namespace prt::plat
