#include "sim/lib/PackageWriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 1 << 20;
// Entries carry one fixed time, so the same mirror spec gives the same packages.
constexpr time_t kEntryTime = 1600963200;  // 2020-09-24

struct ArchiveFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct EntryFree {
    void operator()(archive_entry* e) const { archive_entry_free(e); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

bool allZero(const unsigned char* bytes, std::size_t length) {
    return length == 0 || (bytes[0] == 0 && std::memcmp(bytes, bytes + 1, length - 1) == 0);
}

// Where libarchive's output goes: hashed, then written, zero blocks as holes.
struct Sink {
    int fd = -1;
    std::uint64_t offset = 0;
    EVP_MD_CTX* digest = nullptr;
    EVP_MD_CTX* sha1 = nullptr;
    bool holes = false;
    std::string error;
};

la_ssize_t sinkWrite(archive*, void* context, const void* buffer, size_t length) {
    auto* sink = static_cast<Sink*>(context);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    EVP_DigestUpdate(sink->digest, bytes, length);
    EVP_DigestUpdate(sink->sha1, bytes, length);
    if (sink->holes && length >= 4096 && allZero(bytes, length)) {
        if (::lseek(sink->fd, static_cast<off_t>(length), SEEK_CUR) < 0) {
            sink->error = std::strerror(errno);
            return -1;
        }
    } else {
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = ::write(sink->fd, bytes + done, length - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                sink->error = std::strerror(errno);
                return -1;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    sink->offset += length;
    return static_cast<la_ssize_t>(length);
}

// xorshift64*: fast, and the same seed gives the same bytes.
void fillRandom(unsigned char* buffer, std::size_t length, std::uint64_t& state) {
    for (std::size_t i = 0; i < length; i += 8) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t word = state * 0x2545F4914F6CDD1DULL;
        std::memcpy(buffer + i, &word, std::min<std::size_t>(8, length - i));
    }
}

void writeData(archive* out, const void* data, std::size_t length) {
    if (archive_write_data(out, data, length) != static_cast<la_ssize_t>(length)) {
        fail(std::string("cannot write package data: ") + archive_error_string(out));
    }
}

void copyFile(archive* out, const fs::path& file, std::vector<unsigned char>& buffer) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fail("cannot read " + file.string() + ": " + std::strerror(errno));
    }
    while (true) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            fail("cannot read " + file.string() + ": " + reason);
        }
        if (n == 0) {
            break;
        }
        writeData(out, buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
}

void addItem(archive* out, const PackageItem& item, FillKind fill, std::uint64_t& state,
             std::vector<unsigned char>& buffer) {
    std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), item.path.c_str());
    archive_entry_set_mtime(entry.get(), kEntryTime, 0);
    archive_entry_set_uname(entry.get(), "root");
    archive_entry_set_gname(entry.get(), "wheel");
    struct stat info {};
    if (!item.source.empty()) {
        if (::lstat(item.source.c_str(), &info) != 0) {
            fail("cannot read " + item.source.string() + ": " + std::strerror(errno));
        }
        archive_entry_set_perm(entry.get(), info.st_mode & 07777);
    }
    if (item.source.empty()) {
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.generatedBytes));
    } else if (S_ISDIR(info.st_mode)) {
        archive_entry_set_filetype(entry.get(), AE_IFDIR);
    } else if (S_ISLNK(info.st_mode)) {
        archive_entry_set_filetype(entry.get(), AE_IFLNK);
        archive_entry_set_symlink(entry.get(), fs::read_symlink(item.source).c_str());
    } else if (S_ISREG(info.st_mode)) {
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_size(entry.get(), info.st_size);
    } else {
        fail("cannot carry " + item.source.string() + ": not a file, folder or link");
    }
    if (archive_write_header(out, entry.get()) != ARCHIVE_OK) {
        fail(std::string("cannot write package entry: ") + archive_error_string(out));
    }
    if (item.source.empty()) {
        std::uint64_t left = item.generatedBytes;
        if (fill == FillKind::Zero) {
            std::fill(buffer.begin(), buffer.end(), 0);
        }
        while (left > 0) {
            const std::size_t step =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, kBlock));
            if (fill == FillKind::Random) {
                fillRandom(buffer.data(), step, state);
            }
            writeData(out, buffer.data(), step);
            left -= step;
        }
    } else if (S_ISREG(info.st_mode)) {
        copyFile(out, item.source, buffer);
    }
}

}  // namespace

std::string hexString(const unsigned char* bytes, std::size_t length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

WrittenPackage writePackage(const fs::path& file, const std::vector<PackageItem>& items,
                            FillKind fill, std::uint64_t seed) {
    Sink sink;
    sink.holes = fill == FillKind::Zero;
    sink.fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (sink.fd < 0) {
        fail("cannot write " + file.string() + ": " + std::strerror(errno));
    }
    std::unique_ptr<EVP_MD_CTX, DigestFree> digest(EVP_MD_CTX_new());
    sink.digest = digest.get();
    EVP_DigestInit_ex(sink.digest, EVP_sha256(), nullptr);
    std::unique_ptr<EVP_MD_CTX, DigestFree> sha1(EVP_MD_CTX_new());
    sink.sha1 = sha1.get();
    EVP_DigestInit_ex(sink.sha1, EVP_sha1(), nullptr);

    std::unique_ptr<archive, ArchiveFree> out(archive_write_new());
    archive_write_set_format_pax_restricted(out.get());
    archive_write_set_bytes_per_block(out.get(), static_cast<int>(kBlock));
    archive_write_set_bytes_in_last_block(out.get(), 1);
    std::string failure;
    if (archive_write_open(out.get(), &sink, nullptr, sinkWrite, nullptr) != ARCHIVE_OK) {
        failure = std::string("cannot start the package: ") + archive_error_string(out.get());
    } else {
        std::vector<unsigned char> buffer(kBlock);
        std::uint64_t state = seed | 1;
        try {
            for (const auto& item : items) {
                addItem(out.get(), item, fill, state, buffer);
            }
            if (archive_write_close(out.get()) != ARCHIVE_OK) {
                failure =
                    std::string("cannot finish the package: ") + archive_error_string(out.get());
            }
        } catch (const std::exception& e) {
            failure = e.what();
        }
    }
    // A package that ends in a hole still needs its full length.
    if (failure.empty() && ::ftruncate(sink.fd, static_cast<off_t>(sink.offset)) != 0) {
        failure = "cannot write " + file.string() + ": " + std::strerror(errno);
    }
    if (::close(sink.fd) != 0 && failure.empty()) {
        failure = "cannot write " + file.string() + ": " + std::strerror(errno);
    }
    if (!failure.empty()) {
        std::error_code ec;
        fs::remove(file, ec);
        fail(sink.error.empty() ? failure : failure + " (" + sink.error + ")");
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(sink.digest, hash, &length);
    const std::string sha256 = hexString(hash, length);
    EVP_DigestFinal_ex(sink.sha1, hash, &length);
    return {sink.offset, sha256, hexString(hash, length)};
}

std::vector<PackageItem> treeItems(const fs::path& folder, const std::string& prefix) {
    std::vector<PackageItem> items{{prefix, folder, 0}};
    std::vector<fs::path> children;
    for (const auto& entry : fs::directory_iterator(folder)) {
        children.push_back(entry.path());
    }
    std::sort(children.begin(), children.end());
    for (const auto& child : children) {
        const std::string path = prefix + "/" + child.filename().string();
        if (fs::is_directory(fs::symlink_status(child))) {
            auto nested = treeItems(child, path);
            items.insert(items.end(), nested.begin(), nested.end());
        } else {
            items.push_back({path, child, 0});
        }
    }
    return items;
}

}  // namespace vantrel::sim
