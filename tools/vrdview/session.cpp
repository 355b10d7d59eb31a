#include "session.h"

#include "compare.h"
#include "describe.h"

namespace vrdview {

namespace {

// Half of the budget holds the copies, one share per file; the other half
// the slice cache.
uint64_t copyShare(uint64_t budget, size_t files) { return budget / 2 / (files == 0 ? 1 : files); }

} // namespace

Session::Session(const std::vector<std::string> &paths, uint64_t budget) : cache_(budget / 2)
{
    for (size_t i = 0; i < paths.size(); ++i)
        volumes_.push_back(std::make_unique<Volume>(int(i), paths[i], copyShare(budget, paths.size()), cache_));
}

Session::~Session()
{
    stop_.store(true);
    if (worker_.joinable())
        worker_.join();
}

void Session::start()
{
    for (auto &v : volumes_)
        v->open();
    worker_ = std::thread([this] { work(); });
}

std::string Session::comparable()
{
    if (volumes_.size() < 2)
        return "";
    for (auto &v : volumes_)
        if (!v->refusal().empty())
            return v->path() + ": " + v->refusal();
    const VrdHeader &a = volumes_[0]->header(), &b = volumes_[1]->header();
    if (a.nx != b.nx || a.ny != b.ny || a.nz != b.nz)
        return "Images of different size!";
    return "";
}

void Session::work()
{
    // The indexes first, so that every slice can be shown; then one file
    // after the other, then the difference: the page's requests keep the
    // other core.
    for (auto &v : volumes_)
        v->index();
    for (auto &v : volumes_) {
        if (stop_.load())
            return;
        v->examine();
    }
    if (volumes_.size() < 2 || !comparable().empty())
        return;
    Volume &a = *volumes_[0], &b = *volumes_[1];
    const int32_t nz = a.header().nz, count = a.header().nx * a.header().ny;
    std::vector<float> out(static_cast<size_t>(count));
    int64_t differing = 0;
    for (int32_t z = 0; z < nz && !stop_.load(); ++z) {
        std::string message;
        const Bytes sa = a.slice(z, message), sb = b.slice(z, message);
        if (sa != nullptr && sb != nullptr) {
            volcmp::compareSlices(sa->data(), a.header().dtype, sb->data(), b.header().dtype, out.data(), out.size());
            for (const float d : out)
                differing += d != 0;
        } else
            uncompared_.fetch_add(1);
        compared_.store(z + 1);
    }
    differing_.store(differing);
}

std::string Session::info()
{
    std::string j = "{\"files\":[";
    for (size_t i = 0; i < volumes_.size(); ++i)
        j += (i ? ",{" : "{") + volumes_[i]->json() + "}";
    j += "]";
    if (volumes_.size() >= 2) {
        const std::string refusal = comparable();
        j += ",\"difference\":{";
        if (!refusal.empty())
            j += "\"refused\":" + vrdinfo::jsonString(refusal);
        else {
            j += "\"compared\":" + std::to_string(compared_.load()) + ",\"uncompared\":" +
                 std::to_string(uncompared_.load());
            if (differing_.load() >= 0)
                j += ",\"differing\":" + std::to_string(differing_.load());
        }
        j += "}";
    }
    j += ",\"cache\":" + std::to_string(cache_.held()) + "}";
    return j;
}

bool Session::windowed(int f, Axis axis, int32_t index, const volmap::Window &w, Plane &plane,
                       std::vector<float> &out, std::string &message, bool &later)
{
    Volume *v = volume(f);
    later = false;
    if (v == nullptr) {
        message = "no such file";
        return false;
    }
    if (!v->plane(axis, index, plane, message, later))
        return false;
    out.resize(size_t(plane.width) * size_t(plane.height));
    volmap::windowSlice(plane.data->data(), plane.dtype, out.data(), out.size(), w);
    return true;
}

bool Session::difference(Axis axis, int32_t index, Plane &plane, std::vector<float> &out, std::string &message,
                         bool &later)
{
    later = false;
    message = comparable();
    if (volumes_.size() < 2)
        message = "one file only";
    if (!message.empty())
        return false;
    Plane other;
    if (!volumes_[0]->plane(axis, index, plane, message, later) ||
        !volumes_[1]->plane(axis, index, other, message, later))
        return false;
    if (other.width != plane.width || other.height != plane.height) {
        later = false; // volumes of different voxel types have copies of different steps
        message = "the two copies differ in size";
        return false;
    }
    if (!other.damagedRows.empty()) {
        plane.damagedRows.resize(other.damagedRows.size(), 0);
        for (size_t r = 0; r < other.damagedRows.size(); ++r)
            plane.damagedRows[r] |= other.damagedRows[r];
    }
    out.resize(size_t(plane.width) * size_t(plane.height));
    volcmp::compareSlices(plane.data->data(), plane.dtype, other.data->data(), other.dtype, out.data(), out.size());
    return true;
}

} // namespace vrdview
