#include "sim/lib/ServerHttps.h"

#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <regex>
#include <stdexcept>

#include "sim/lib/MirrorManifest.h"
#include "sim/lib/MirrorRebase.h"
#include "sim/lib/ServerIdentity.h"

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 256 * 1024;
constexpr std::size_t kWorkers = 96;  // every connection holds one while it lives

struct OpenFile {
    explicit OpenFile(int descriptor) : fd(descriptor) {}
    ~OpenFile() { ::close(fd); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd;
};

std::string contentType(const fs::path& file) {
    const auto extension = file.extension();
    if (extension == ".sucatalog" || extension == ".dist" || extension == ".smd") {
        return "application/xml";
    }
    return "application/octet-stream";
}

// Only the mirror's content folder, and no way out of it.
bool servablePath(const std::string& path) {
    return path.rfind("/content/", 0) == 0 && path.find("/../") == std::string::npos &&
           path.find("/./") == std::string::npos && path.find('\0') == std::string::npos &&
           path.find('\\') == std::string::npos &&
           (path.size() < 3 || path.compare(path.size() - 3, 3, "/..") != 0);
}

// Whether a file gets a Content-Disposition by default, as a real server sends for packages.
bool offersName(const fs::path& file) {
    const auto extension = file.extension();
    return extension == ".pkg" || extension == ".dist";
}

std::string quoted(const std::string& name) {
    std::string out = "\"";
    for (const char c : name) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + "\"";
}

// Bytes of the body the current request's answer has sent; read by the access log, which
// runs on the same worker thread once the answer has ended (whole or cut).
thread_local std::uint64_t bodyBytesSent = 0;

std::string hexNumber(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

// An HTTP date (RFC 9110 IMF-fixdate).
std::string httpDate(std::time_t when) {
    char text[64];
    std::tm parts{};
    ::gmtime_r(&when, &parts);
    std::strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

struct BaseURL {
    std::string host;
    int port = 443;
};

BaseURL parseBaseURL(const std::string& url) {
    static const std::regex shape(R"((https?)://(\[[^\]]+\]|[^:/]+)(?::(\d+))?)");
    std::smatch match;
    if (!std::regex_match(url, match, shape)) {
        throw std::runtime_error("the mirror's base URL is not scheme://host[:port]: " + url);
    }
    BaseURL base;
    base.host = match[2];
    base.port = match[3].matched ? std::stoi(match[3]) : (match[1] == "https" ? 443 : 80);
    return base;
}

// Only SO_REUSEADDR: the library's default also sets SO_REUSEPORT, which would let a second
// server share the port silently.
void socketOptions(int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
}

}  // namespace

struct MirrorServer::State {
    ServerOptions options;
    MirrorManifest manifest;
    std::unique_ptr<httplib::SSLServer> server;
    std::string url;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable wake;
    std::FILE* accessLog = nullptr;
    int listening = -1;                            // the listening socket, owned by the library
    std::map<std::string, std::uint64_t> answers;  // by path, under `mutex`

    // How many answers were given for `path` before this one.
    std::uint64_t countAnswer(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return answers[path]++;
    }

    // Waits the stall out; false when the server is stopping instead.
    bool stall() {
        std::unique_lock<std::mutex> lock(mutex);
        return !wake.wait_for(lock, std::chrono::seconds(options.stallSeconds),
                              [&] { return stopping.load(); });
    }

    void handle(const httplib::Request& request, httplib::Response& response);
};

void MirrorServer::State::handle(const httplib::Request& request, httplib::Response& response) {
    const std::string& path = request.path;
    if (!servablePath(path)) {
        response.status = 404;
        response.set_content("Not Found\n", "text/plain");
        return;
    }
    bodyBytesSent = 0;
    const auto found = manifest.rules.find(path);
    const ServedFileRule rule = found == manifest.rules.end() ? ServedFileRule{} : found->second;
    const std::uint64_t earlier = countAnswer(path);
    if (earlier < rule.busyAnswers) {
        response.status = 503;
        response.set_content("Service Unavailable\n", "text/plain");
        return;
    }
    if (rule.behavior == "error") {
        response.status = 500;
        response.set_content("Internal Server Error\n", "text/plain");
        return;
    }
    if (rule.behavior == "stall-before" && !stall()) {
        response.status = 503;
        return;
    }
    const fs::path file = options.mirror / fs::path(path).relative_path();
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) {
            ::close(fd);
        }
        response.status = 404;
        response.set_content("Not Found\n", "text/plain");
        return;
    }
    auto open = std::make_shared<OpenFile>(fd);
    const std::string name =
        rule.disposition.value_or(offersName(file) ? file.filename().string() : std::string());
    if (!name.empty()) {
        response.set_header("Content-Disposition", "attachment; filename=" + quoted(name));
    }
    const auto size = static_cast<std::size_t>(info.st_size);
    // The validators of a file that does not change; a "new upload" changes both.
    const std::uint64_t generation = rule.changingValidator ? earlier : 0;
    const std::string etag = "\"" + hexNumber(static_cast<std::uint64_t>(info.st_size)) + "-" +
                             hexNumber(static_cast<std::uint64_t>(info.st_mtime)) + "-" +
                             hexNumber(generation) + "\"";
    const std::string lastModified = httpDate(info.st_mtime + static_cast<std::time_t>(generation));
    response.set_header("ETag", etag);
    response.set_header("Last-Modified", lastModified);
    // A range guarded by a validator that no longer holds gets the whole file, as does every
    // range when ranges are ignored. The library answers the ranges left in the request.
    if (request.has_header("If-Range")) {
        const std::string guard = request.get_header_value("If-Range");
        if (guard != etag && guard != lastModified) {
            const_cast<httplib::Request&>(request).ranges.clear();
        }
    }
    if (rule.ignoreRanges) {
        const_cast<httplib::Request&>(request).ranges.clear();
    }
    if (size == 0) {
        response.set_content("", contentType(file));
        return;
    }
    const bool once = earlier == 0;
    const bool cuts = rule.behavior == "truncate" || rule.behavior == "stall-middle" ||
                      (once && (rule.behavior == "cut-once" || rule.behavior == "stall-once"));
    const std::size_t cutAt = cuts ? size / 2 : size;
    const bool stallAtCut = rule.behavior == "stall-middle" || rule.behavior == "stall-once";
    // The byte in the middle goes out damaged, once: a transfer that arrives whole but wrong.
    const std::size_t damageAt =
        once && rule.behavior == "corrupt-once" ? size / 2 : static_cast<std::size_t>(-1);
    response.set_content_provider(
        size, contentType(file),
        [this, open, cutAt, stallAtCut, damageAt](std::size_t offset, std::size_t length,
                                                  httplib::DataSink& sink) {
            if (offset >= cutAt) {
                if (stallAtCut) {
                    stall();
                }
                return false;  // the connection closes with the answer unfinished
            }
            thread_local std::vector<char> buffer(kChunk);
            const std::size_t want = std::min({length, kChunk, cutAt - offset});
            const ssize_t got = ::pread(open->fd, buffer.data(), want, static_cast<off_t>(offset));
            if (got <= 0 || stopping) {
                return false;
            }
            if (damageAt >= offset && damageAt < offset + static_cast<std::size_t>(got)) {
                buffer[damageAt - offset] = static_cast<char>(buffer[damageAt - offset] ^ 0x5A);
            }
            if (!sink.write(buffer.data(), static_cast<std::size_t>(got))) {
                return false;
            }
            bodyBytesSent += static_cast<std::uint64_t>(got);
            return true;
        });
}

MirrorServer::MirrorServer(ServerOptions options) : state_(std::make_unique<State>()) {
    state_->options = std::move(options);
}

MirrorServer::~MirrorServer() {
    if (state_->accessLog) {
        std::fclose(state_->accessLog);
    }
}

void MirrorServer::prepare() {
    State& state = *state_;
    state.options.mirror = fs::absolute(state.options.mirror);
    state.manifest = readManifest(state.options.mirror);
    const BaseURL base = parseBaseURL(state.manifest.baseURL);

    const fs::path identityFile = state.options.mirror / kServerIdentityFile;
    ServerIdentity identity = loadServerIdentity(identityFile);
    if (!identity.key) {
        identity = makeServerIdentity();
        saveServerIdentity(identity, identityFile);
    }
    state.server =
        std::make_unique<httplib::SSLServer>(identity.certificate.get(), identity.key.get());
    if (!state.server->is_valid()) {
        throw std::runtime_error("cannot set up TLS with the server's certificate");
    }
    httplib::SSLServer& server = *state.server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_socket_options([&state](int sock) {
        socketOptions(sock);
        state.listening = sock;
    });
    server.set_keep_alive_max_count(1000000);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(30, 0);
    server.set_write_timeout(60, 0);
    server.set_tcp_nodelay(true);
    server.Get(".*", [&state](const httplib::Request& request, httplib::Response& response) {
        state.handle(request, response);
    });
    if (!state.options.accessLog.empty()) {
        state.accessLog = std::fopen(state.options.accessLog.c_str(), "a");
        if (!state.accessLog) {
            throw std::runtime_error("cannot write " + state.options.accessLog.string());
        }
        server.set_logger(
            [&state](const httplib::Request& request, const httplib::Response& response) {
                std::lock_guard<std::mutex> lock(state.mutex);
                std::fprintf(state.accessLog, "%d %s %s %d %llu\n", request.remote_port,
                             request.method.c_str(), request.path.c_str(), response.status,
                             static_cast<unsigned long long>(bodyBytesSent));
                std::fflush(state.accessLog);
            });
    }

    const std::string address = base.host == "[::1]" ? "::1" : "127.0.0.1";
    const int wanted = state.options.port >= 0 ? state.options.port : base.port;
    if (wanted == 0) {
        state.port = server.bind_to_any_port(address);
    } else {
        state.port = server.bind_to_port(address, wanted) ? wanted : -1;
    }
    if (state.port <= 0) {
        throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(wanted) +
                                 " (in use?)");
    }
    // The library listens with a backlog of 5; a client that opens a connection per package
    // at once would see some dropped and retried a second later.
    ::listen(state.listening, SOMAXCONN);
    state.url = "https://" + base.host + ":" + std::to_string(state.port);
    rebaseMirror(state.options.mirror, state.manifest, state.url);
    if (!state.options.certificateOut.empty()) {
        writeCertificatePem(identity, state.options.certificateOut);
    }
}

const std::string& MirrorServer::url() const {
    return state_->url;
}

int MirrorServer::port() const {
    return state_->port;
}

void MirrorServer::run() {
    if (!state_->stopping) {
        state_->server->listen_after_bind();
    }
}

void MirrorServer::stop() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (state_->server) {
        state_->server->stop();
    }
}

}  // namespace vantrel::sim
