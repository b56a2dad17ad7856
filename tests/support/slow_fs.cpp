// A file system whose one large file reads as slowly as a failing disk:
// each read of cold.bin takes a second, while hello.txt reads at once.
// Mounted by the tests to show that a download from a slow disk does not
// hold up other clients.
#define FUSE_USE_VERSION 31
#include <cerrno>
#include <cstring>
#include <fuse.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char hello[] = "hello\n";
constexpr off_t hello_size = sizeof hello - 1;
constexpr off_t cold_size = 4 << 20;

int get_attributes(const char* path, struct stat* status, struct fuse_file_info*)
{
    std::memset(status, 0, sizeof *status);
    status->st_nlink = 1;
    if (std::strcmp(path, "/") == 0)
        status->st_mode = S_IFDIR | 0755;
    else if (std::strcmp(path, "/hello.txt") == 0)
        status->st_mode = S_IFREG | 0444, status->st_size = hello_size;
    else if (std::strcmp(path, "/cold.bin") == 0)
        status->st_mode = S_IFREG | 0444, status->st_size = cold_size;
    else
        return -ENOENT;
    return 0;
}

// The bytes of cold.bin: the alphabet over and over.
int read_file(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info*)
{
    bool cold = std::strcmp(path, "/cold.bin") == 0;
    if (!cold && std::strcmp(path, "/hello.txt") != 0)
        return -ENOENT;
    off_t file_size = cold ? cold_size : hello_size;
    if (offset >= file_size)
        return 0;
    size_t count = file_size - offset < static_cast<off_t>(size) ? file_size - offset : size;
    if (!cold) {
        std::memcpy(buffer, hello + offset, count);
        return static_cast<int>(count);
    }
    sleep(1);
    for (size_t i = 0; i < count; ++i)
        buffer[i] = static_cast<char>('a' + (offset + static_cast<off_t>(i)) % 26);
    return static_cast<int>(count);
}

int read_directory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
                   struct fuse_file_info*, enum fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    for (const char* name : {".", "..", "hello.txt", "cold.bin"})
        fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    struct fuse_operations operations = {};
    operations.getattr = get_attributes;
    operations.read = read_file;
    operations.readdir = read_directory;
    return fuse_main(argc, argv, &operations, nullptr);
}
