#include "server.h"

#include "describe.h"

#include <httplib.h>

#include <sys/random.h>
#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vrdview {

namespace {

// cpp-httplib compresses text and JSON answers with brotli at its slowest
// setting whenever the browser accepts it: tens of milliseconds per answer,
// for nothing on loopback. It knows those types by their lower-case spelling
// only, and media types are case-insensitive (RFC 2045), so the page's types
// are spelt with capitals and go out as they are.
const char kJson[] = "Application/JSON";

const char *contentType(const std::string &path)
{
    const auto ends = [&](const char *ext) {
        const size_t n = strlen(ext);
        return path.size() >= n && path.compare(path.size() - n, n, ext) == 0;
    };
    if (ends(".html")) return "Text/HTML; charset=utf-8";
    if (ends(".js")) return "Text/JavaScript; charset=utf-8";
    if (ends(".css")) return "Text/CSS; charset=utf-8";
    if (ends(".png")) return "image/png";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

bool sameText(const std::string &a, const std::string &b)
{
    // Takes as long whatever the first difference, so that the token cannot
    // be guessed a digit at a time.
    unsigned char d = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        d |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return d == 0;
}

void message(httplib::Response &res, int status, const std::string &text, bool later = false)
{
    res.status = status;
    res.set_content("{\"message\":" + vrdinfo::jsonString(text) + (later ? ",\"later\":true}" : "}"),
                    kJson);
}

bool intParam(const httplib::Request &req, const char *key, int32_t &out)
{
    const std::string text = req.get_param_value(key);
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = int32_t(v);
    return true;
}

// The window's four numbers as volmap reads its arguments: text that is
// wholly a number, as strtod gives it, rounded to float32.
bool windowParam(const std::string &text, volmap::Window &w, std::string &why)
{
    float *corners[4] = {&w.min, &w.mid1, &w.mid2, &w.max};
    const char *names[4] = {"min", "mid1", "mid2", "max"};
    size_t from = 0;
    for (int k = 0; k < 4; ++k) {
        const size_t comma = text.find(',', from);
        const std::string part = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        char *end = nullptr;
        const double v = strtod(part.c_str(), &end);
        if (part.empty() || *end != '\0' || (k < 3) != (comma != std::string::npos)) {
            why = std::string(names[k]) + ": not a number: " + part;
            return false;
        }
        *corners[k] = float(v);
        from = comma + 1;
    }
    return true;
}

} // namespace

std::string newToken()
{
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n <= 0)
            abort(); // a server without an unguessable token must not start
        got += size_t(n);
    }
    std::string token;
    for (const unsigned char b : bytes) {
        static const char hex[] = "0123456789abcdef";
        token += hex[b >> 4];
        token += hex[b & 15];
    }
    return token;
}

std::string assetPath(const std::string &root, const std::string &requestPath)
{
    std::string relative = requestPath == "/" ? "/index.html" : requestPath;
    if (relative.empty() || relative[0] != '/' || relative.find('\0') != std::string::npos ||
        relative.find('\\') != std::string::npos)
        return "";
    // No "." or ".." segment and no empty one ("//" would be an absolute path).
    for (size_t at = 1; at <= relative.size();) {
        size_t slash = relative.find('/', at);
        if (slash == std::string::npos)
            slash = relative.size();
        const std::string segment = relative.substr(at, slash - at);
        if (segment.empty() || segment == "." || segment == "..")
            return "";
        at = slash + 1;
    }
    char *realRoot = realpath(root.c_str(), nullptr);
    char *real = realpath((root + relative).c_str(), nullptr);
    std::string found;
    struct stat info;
    if (realRoot != nullptr && real != nullptr && strncmp(real, realRoot, strlen(realRoot)) == 0 &&
        real[strlen(realRoot)] == '/' && stat(real, &info) == 0 && S_ISREG(info.st_mode))
        found = real;
    free(realRoot);
    free(real);
    return found;
}

struct Server::Impl {
    Session &session;
    std::string root, token;
    int port = 0;
    httplib::Server http;

    Impl(Session &s, std::string r, std::string t) : session(s), root(std::move(r)), token(std::move(t)) {}

    std::string cookieName() const { return "vrdview-" + std::to_string(port); }

    bool hasToken(const httplib::Request &req) const
    {
        if (req.has_param("token"))
            return sameText(req.get_param_value("token"), token);
        if (req.has_header("X-Vrdview-Token"))
            return sameText(req.get_header_value("X-Vrdview-Token"), token);
        const std::string cookies = req.get_header_value("Cookie");
        const std::string key = cookieName() + "=";
        for (size_t at = 0; at < cookies.size();) {
            size_t end = cookies.find(';', at);
            if (end == std::string::npos)
                end = cookies.size();
            size_t from = at;
            while (from < end && cookies[from] == ' ')
                ++from;
            if (cookies.compare(from, key.size(), key) == 0 &&
                sameText(cookies.substr(from + key.size(), end - from - key.size()), token))
                return true;
            at = end + 1;
        }
        return false;
    }

    // Host names that reach this server and no other: a page from another
    // name that resolves to 127.0.0.1 (DNS rebinding) is refused.
    bool hostAllowed(const httplib::Request &req) const
    {
        if (req.get_header_value_count("Host") != 1)
            return false;
        const std::string host = req.get_header_value("Host");
        const std::string p = ":" + std::to_string(port);
        return host == "127.0.0.1" + p || host == "localhost" + p;
    }

    httplib::Server::HandlerResponse screen(const httplib::Request &req, httplib::Response &res)
    {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Cache-Control", "no-store");
        res.set_header("Referrer-Policy", "no-referrer");
        if (!hostAllowed(req)) {
            message(res, 403, "refused: this server answers to 127.0.0.1:" + std::to_string(port) + " and localhost:" +
                                  std::to_string(port) + " only");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            message(res, 405, "refused: this server only answers GET");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!hasToken(req)) {
            message(res, 403, "refused: the request has no valid token; open the address vrdview printed");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    void asset(const httplib::Request &req, httplib::Response &res)
    {
        const std::string path = assetPath(root, req.path);
        std::ifstream in(path, std::ios::binary);
        if (path.empty() || !in) {
            message(res, 404, "not found");
            return;
        }
        std::ostringstream body;
        body << in.rdbuf();
        res.set_content(body.str(), contentType(path));
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data: blob:; object-src 'none'; base-uri 'none'; "
                       "frame-ancestors 'none'");
        if (req.has_param("token"))
            res.set_header("Set-Cookie", cookieName() + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    }

    static bool axisParam(const httplib::Request &req, Axis &axis)
    {
        const std::string a = req.get_param_value("axis");
        if (a == "z" || a.empty()) axis = Axis::z;
        else if (a == "y") axis = Axis::y;
        else if (a == "x") axis = Axis::x;
        else return false;
        return true;
    }

    void plane(const httplib::Request &req, httplib::Response &res)
    {
        Axis axis;
        int32_t f = 0, index = 0;
        if (!axisParam(req, axis) || !intParam(req, "i", index) || (req.has_param("f") && !intParam(req, "f", f))) {
            message(res, 400, "a plane needs axis (z, y or x), i and f");
            return;
        }
        Plane p;
        std::vector<float> values;
        std::string why;
        bool later = false;
        bool done;
        if (req.get_param_value("diff") == "1")
            done = session.difference(axis, index, p, values, why, later);
        else {
            volmap::Window w{};
            if (!windowParam(req.get_param_value("w"), w, why)) {
                message(res, 400, why);
                return;
            }
            done = session.windowed(f, axis, index, w, p, values, why, later);
        }
        if (!done) {
            message(res, later ? 503 : 422, why, later);
            return;
        }
        // float32 in this machine's order: the browser runs on this machine.
        res.set_content(std::string(reinterpret_cast<const char *>(values.data()), values.size() * sizeof(float)),
                        "application/octet-stream");
        res.set_header("X-Width", std::to_string(p.width));
        res.set_header("X-Height", std::to_string(p.height));
        res.set_header("X-Step", std::to_string(p.step));
        res.set_header("X-Aspect", vrdinfo::numberText(p.aspect));
        const std::string damaged = rowRanges(p.damagedRows);
        if (!damaged.empty())
            res.set_header("X-Damaged-Rows", damaged);
    }

    // The rows marked, as "first-last" ranges split by commas; at most
    // kMostRanges of them (a header the browser takes), the rest dropped.
    static std::string rowRanges(const std::vector<char> &rows)
    {
        constexpr int kMostRanges = 4096;
        std::string text;
        int ranges = 0;
        for (size_t r = 0; r < rows.size() && ranges < kMostRanges; ++r) {
            if (rows[r] == 0)
                continue;
            size_t last = r;
            while (last + 1 < rows.size() && rows[last + 1] != 0)
                ++last;
            text += (text.empty() ? "" : ",") + std::to_string(r) + "-" + std::to_string(last);
            ++ranges;
            r = last;
        }
        return text;
    }

    void value(const httplib::Request &req, httplib::Response &res)
    {
        int32_t f = 0, x, y, z;
        if (!intParam(req, "x", x) || !intParam(req, "y", y) || !intParam(req, "z", z) ||
            (req.has_param("f") && !intParam(req, "f", f)) || session.volume(f) == nullptr) {
            message(res, 400, "a value needs f, x, y and z");
            return;
        }
        std::string json, why;
        bool later = false;
        if (!session.volume(f)->value(x, y, z, json, why, later))
            message(res, later ? 503 : 422, why, later);
        else
            res.set_content(json, kJson);
    }
};

Server::Server(Session &session, std::string webRoot, std::string token)
    : impl_(std::make_unique<Impl>(session, std::move(webRoot), std::move(token)))
{
    Impl &s = *impl_;
    s.http.set_pre_routing_handler([&s](const httplib::Request &req, httplib::Response &res) { return s.screen(req, res); });
    s.http.Get("/api/info", [&s](const httplib::Request &, httplib::Response &res) {
        res.set_content(s.session.info(), kJson);
    });
    s.http.Get("/api/plane", [&s](const httplib::Request &req, httplib::Response &res) { s.plane(req, res); });
    s.http.Get("/api/value", [&s](const httplib::Request &req, httplib::Response &res) { s.value(req, res); });
    s.http.Get(".*", [&s](const httplib::Request &req, httplib::Response &res) { s.asset(req, res); });
    s.http.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        message(res, 500, "internal error");
    });
    s.http.set_payload_max_length(0); // no request carries a body
    // SO_REUSEADDR alone: the library's default adds SO_REUSEPORT, with which
    // a second server could take the same port and half of the requests.
    s.http.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

Server::~Server() = default;

int Server::bind(int port)
{
    impl_->port = port == 0 ? impl_->http.bind_to_any_port("127.0.0.1") : impl_->http.bind_to_port("127.0.0.1", port) ? port : -1;
    return impl_->port;
}

bool Server::run() { return impl_->http.listen_after_bind(); }

void Server::stop() { impl_->http.stop(); }

} // namespace vrdview
