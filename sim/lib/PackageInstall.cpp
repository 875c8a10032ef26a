#include "sim/lib/PackageInstall.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <system_error>

#include "sim/lib/PackageWriter.h"

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kBlock = 1 << 20;

struct ReadFree {
    void operator()(archive* a) const { archive_read_free(a); }
};
struct WriteFree {
    void operator()(archive* a) const { archive_write_free(a); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

[[noreturn]] void fail(const std::string& reason) {
    throw InstallFailure(reason);
}

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// The title the localization gives SU_TITLE: "SU_TITLE" = "macOS Catalina";
std::string localizedTitle(const pugi::xml_node& root) {
    for (const auto& strings : root.child("localization").children("strings")) {
        const std::string text = strings.text().get();
        const auto key = text.find("\"SU_TITLE\"");
        if (key == std::string::npos) {
            continue;
        }
        const auto open = text.find('"', text.find('=', key));
        const auto close = open == std::string::npos ? open : text.find('"', open + 1);
        if (close != std::string::npos) {
            return text.substr(open + 1, close - open - 1);
        }
    }
    return {};
}

// Reads a package file once: libarchive sees its bytes while they are hashed and counted.
class PackageReader {
  public:
    PackageReader(const fs::path& file, std::function<void(std::uint64_t)> onBytes)
        : onBytes_(std::move(onBytes)), buffer_(kBlock), digest_(EVP_MD_CTX_new()) {
        fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd_ < 0) {
            fail("The package \"" + file.filename().string() +
                 "\" cannot be read: " + std::strerror(errno));
        }
        EVP_DigestInit_ex(digest_.get(), EVP_sha256(), nullptr);
    }
    ~PackageReader() { ::close(fd_); }
    PackageReader(const PackageReader&) = delete;
    PackageReader& operator=(const PackageReader&) = delete;

    static la_ssize_t read(archive*, void* context, const void** data) {
        auto* self = static_cast<PackageReader*>(context);
        *data = self->buffer_.data();
        return self->next();
    }

    // Reads what libarchive left unread (the end of the archive), so the digest covers all.
    void drain() {
        while (next() > 0) {
        }
    }

    std::uint64_t bytes() const { return bytes_; }
    std::string sha256() {
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(digest_.get(), hash, &length);
        return hexString(hash, length);
    }

  private:
    la_ssize_t next() {
        ssize_t n;
        do {
            n = ::read(fd_, buffer_.data(), buffer_.size());
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            EVP_DigestUpdate(digest_.get(), buffer_.data(), static_cast<std::size_t>(n));
            bytes_ += static_cast<std::uint64_t>(n);
            onBytes_(static_cast<std::uint64_t>(n));
        }
        return n;
    }

    int fd_ = -1;
    std::function<void(std::uint64_t)> onBytes_;
    std::vector<unsigned char> buffer_;
    std::unique_ptr<EVP_MD_CTX, DigestFree> digest_;
    std::uint64_t bytes_ = 0;
};

// An entry may only add to an application bundle in Applications: no absolute paths, no
// "..", nothing elsewhere in the target.
bool allowedEntryPath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return false;
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto end = slash == std::string::npos ? path.size() : slash;
        const std::string part = path.substr(start, end - start);
        if (part == "." || part == ".." || (part.empty() && slash != std::string::npos)) {
            return false;
        }
        if (!part.empty()) {
            parts.push_back(part);
        }
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    if (parts.empty() || parts[0] != "Applications") {
        return false;
    }
    return parts.size() == 1 ||
           (parts[1].size() > 4 && parts[1].compare(parts[1].size() - 4, 4, ".app") == 0);
}

bool allowedLink(const char* target) {
    if (!target || target[0] == '/' || target[0] == '\0') {
        return false;
    }
    return std::string_view(target).find("..") == std::string_view::npos;
}

void unpack(const fs::path& packageFile, const DistributionPackage& expected,
            const fs::path& staging, const std::function<void(std::uint64_t)>& onBytes) {
    const std::string name = expected.fileName;
    PackageReader reader(packageFile, onBytes);
    std::unique_ptr<archive, ReadFree> in(archive_read_new());
    archive_read_support_format_tar(in.get());
    std::unique_ptr<archive, WriteFree> out(archive_write_disk_new());
    archive_write_disk_set_options(
        out.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                       ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SPARSE);
    if (archive_read_open(in.get(), &reader, nullptr, PackageReader::read, nullptr) != ARCHIVE_OK) {
        fail("The package \"" + name + "\" is damaged: " + archive_error_string(in.get()));
    }
    archive_entry* entry = nullptr;
    while (true) {
        const int status = archive_read_next_header(in.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status != ARCHIVE_OK) {
            fail("The package \"" + name + "\" is damaged: " + archive_error_string(in.get()));
        }
        const std::string path = archive_entry_pathname(entry);
        const auto type = archive_entry_filetype(entry);
        const bool typeAllowed = type == AE_IFREG || type == AE_IFDIR ||
                                 (type == AE_IFLNK && allowedLink(archive_entry_symlink(entry)));
        if (!allowedEntryPath(path) || !typeAllowed || archive_entry_hardlink(entry)) {
            fail("The package \"" + name + "\" holds an item outside an application: " + path);
        }
        archive_entry_set_pathname(entry, (staging / path).c_str());
        if (archive_write_header(out.get(), entry) != ARCHIVE_OK) {
            fail("Cannot unpack \"" + path + "\" of \"" + name +
                 "\": " + archive_error_string(out.get()));
        }
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int read;
        while ((read = archive_read_data_block(in.get(), &block, &size, &offset)) == ARCHIVE_OK) {
            if (archive_write_data_block(out.get(), block, size, offset) != ARCHIVE_OK) {
                fail("Cannot unpack \"" + path + "\" of \"" + name +
                     "\": " + archive_error_string(out.get()));
            }
        }
        if (read != ARCHIVE_EOF) {
            fail("The package \"" + name + "\" is damaged: " + archive_error_string(in.get()));
        }
        if (archive_write_finish_entry(out.get()) != ARCHIVE_OK) {
            fail("Cannot unpack \"" + path + "\" of \"" + name +
                 "\": " + archive_error_string(out.get()));
        }
    }
    archive_write_close(out.get());
    reader.drain();
    if (reader.bytes() != expected.bytes || reader.sha256() != expected.sha256) {
        fail("The package \"" + name + "\" is damaged: its content does not match its digest");
    }
}

// A private folder for unpacking, removed with everything in it when the install ends.
class Staging {
  public:
    explicit Staging(const fs::path& target) {
        const fs::path parent = target / "private/var/tmp";
        std::error_code ec;
        fs::create_directories(parent, ec);
        std::string pattern = (parent / "installer-staging.XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            fail("Cannot make a folder to unpack into in " + parent.string() + ": " +
                 std::strerror(errno));
        }
        // Real path, so the symlink checks of the unpacking look only at our own entries.
        path_ = fs::canonical(pattern);
    }
    ~Staging() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

}  // namespace

DistributionPlan readDistributionPlan(const fs::path& distribution) {
    pugi::xml_document document;
    const auto parsed = document.load_file(distribution.c_str());
    if (!parsed) {
        fail("The distribution file \"" + distribution.filename().string() +
             "\" cannot be read: " + parsed.description());
    }
    const auto root = document.child("installer-gui-script");
    if (!root) {
        fail("\"" + distribution.filename().string() + "\" is not a distribution file");
    }
    DistributionPlan plan;
    plan.title = localizedTitle(root);
    std::set<std::string> seen;
    for (const auto& ref : root.children("pkg-ref")) {
        std::string name = trimmed(ref.text().get());
        if (name.empty()) {
            continue;  // a reference by id, as inside <choice>
        }
        if (name.front() == '#') {
            name.erase(0, 1);
        }
        if (!isPlainFileName(name)) {
            fail("The distribution file names a package outside its folder: " + name);
        }
        DistributionPackage package;
        package.fileName = name;
        package.identifier = ref.attribute("id").value();
        const std::string size = ref.attribute("fileSize").value();
        const auto [end, ec] =
            std::from_chars(size.data(), size.data() + size.size(), package.bytes);
        package.sha256 = ref.attribute("sha256").value();
        if (size.empty() || ec != std::errc() || end != size.data() + size.size() ||
            package.sha256.size() != 64) {
            fail("The distribution file does not say how to check the package \"" + name + "\"");
        }
        if (seen.insert(name).second) {
            plan.packages.push_back(package);
        }
    }
    if (plan.packages.empty()) {
        fail("The distribution file \"" + distribution.filename().string() + "\" names no package");
    }
    return plan;
}

void installDistribution(const fs::path& distribution, const fs::path& target,
                         const InstallObserver& observer) {
    const DistributionPlan plan = readDistributionPlan(distribution);
    const fs::path folder = distribution.parent_path();
    std::uint64_t total = 0;
    for (const auto& package : plan.packages) {
        struct stat info {};
        const fs::path file = folder / package.fileName;
        if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            fail("The package \"" + package.fileName + "\" is missing");
        }
        if (static_cast<std::uint64_t>(info.st_size) != package.bytes) {
            fail("The package \"" + package.fileName + "\" is damaged: it has " +
                 std::to_string(info.st_size) + " bytes instead of " +
                 std::to_string(package.bytes));
        }
        total += package.bytes;
    }
    if (!fs::is_directory(target)) {
        fail("The target " + target.string() + " is not a folder");
    }
    observer.status("installer:PHASE:Preparing for installation");
    observer.progress(0.0, true);

    Staging staging(target);
    std::uint64_t done = 0;
    // The last percent belongs to moving the applications into place.
    const auto percentDone = [&] {
        return total == 0 ? 99.0 : 99.0 * static_cast<double>(done) / static_cast<double>(total);
    };
    const auto onBytes = [&](std::uint64_t bytes) {
        done += bytes;
        observer.progress(percentDone(), false);
    };
    observer.status("installer:PHASE:Validating packages");
    for (const auto& package : plan.packages) {
        unpack(folder / package.fileName, package, staging.path(), onBytes);
        observer.progress(percentDone(), true);
    }

    observer.status("installer:PHASE:Moving items into place");
    const fs::path unpacked = staging.path() / "Applications";
    const fs::path applications = target / "Applications";
    std::error_code ec;
    if (!fs::is_directory(unpacked, ec)) {
        fail("The packages hold no application");
    }
    fs::create_directories(applications, ec);
    for (const auto& item : fs::directory_iterator(unpacked)) {
        const fs::path destination = applications / item.path().filename();
        fs::remove_all(destination, ec);
        if (ec) {
            fail("Cannot replace " + destination.string() + ": " + ec.message());
        }
        fs::rename(item.path(), destination, ec);
        if (ec) {
            fail("Cannot move " + item.path().filename().string() + " into " +
                 applications.string() + ": " + ec.message());
        }
    }
    observer.progress(100.0, true);
}

}  // namespace vantrel::sim
