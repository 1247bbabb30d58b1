#include "Tavrel/RtspServer/CameraHealth.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <utility>

namespace Norvane::Tavrel {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

/// Checks due within this of the one that woke the thread start with it (fewer wake-ups).
constexpr milliseconds kCheckBatch{1000};
/// The window of the published bit rate.
constexpr std::chrono::seconds kBitrateWindow{10};
/// The shortest span the bit rate is taken over (a media just begun has no rate yet).
constexpr milliseconds kMinBitrateSpan{1000};
/// Shorter passwords are not searched for in error texts (they would match anywhere).
constexpr std::size_t kMinScrubbedPassword = 4;
/// Rounds of the context run after the loop ended, for callbacks of cancelled checks.
constexpr int kDrainRounds = 100;

bool Working(CameraState state) {
    return state == CameraState::kIdle || state == CameraState::kConnecting ||
           state == CameraState::kStreaming;
}

/// Where in [0, within) the first check of the camera at `path` falls: spread by its path, the
/// same on every mount.
milliseconds FirstCheckOffset(const std::string& path, milliseconds within) {
    if (within.count() <= 0)
        return milliseconds(0);
    return milliseconds(static_cast<milliseconds::rep>(std::hash<std::string>{}(path) %
                                                       static_cast<std::size_t>(within.count())));
}

/// The camera's next check after `now`: at its own phase of the interval (by its path), so that
/// the checks of many cameras are spread evenly over it, and at least half an interval away.
Clock::time_point NextCheck(const std::string& path, Clock::time_point now,
                            std::chrono::seconds interval) {
    const auto period = duration_cast<milliseconds>(interval);
    const auto phase = FirstCheckOffset(path, period);
    const auto sinceEpoch = duration_cast<milliseconds>(now.time_since_epoch());
    auto next = Clock::time_point(sinceEpoch - sinceEpoch % period + phase);
    while (next < now + period / 2)
        next += period;
    return next;
}

/// The state a media's failure puts the camera in, from rtspsrc's or our own error text.
CameraState Classify(const std::string& reason) {
    std::string text(reason);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (text.find("unauthorized") != std::string::npos || text.find("401") != std::string::npos)
        return CameraState::kUnauthorized;
    for (const char* unreachable : {"could not open resource", "could not connect", "timeout",
                                    "timed out", "sent nothing", "no packets"}) {
        if (text.find(unreachable) != std::string::npos)
            return CameraState::kUnreachable;
    }
    return CameraState::kFailed;
}

}  // namespace

const char* CameraStateName(CameraState state) {
    switch (state) {
        case CameraState::kIdle:
            return "idle";
        case CameraState::kConnecting:
            return "connecting";
        case CameraState::kStreaming:
            return "streaming";
        case CameraState::kUnreachable:
            return "unreachable";
        case CameraState::kUnauthorized:
            return "unauthorized";
        case CameraState::kFailed:
            return "failed";
    }
    return "failed";
}

struct CameraHealth::Record {
    std::string path;
    std::string name;
    CameraCheckTarget target;
    std::shared_ptr<CameraMedia> media;

    CameraState state{CameraState::kConnecting};
    std::chrono::system_clock::time_point since{std::chrono::system_clock::now()};
    std::string lastError;
    std::string codec;  // from the last check's SDP

    bool checking{false};               // a check runs
    bool mediaSeen{false};              // a media was seen active since the last time none was
    std::uint64_t failedGeneration{0};  // the media generation whose failure stands; 0: none
    Clock::time_point nextCheck{};
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples;  // bytes over the window

    /// The text without the camera's credentials: the user part of a URL goes, and the
    /// password wherever it stands (unless it is so short that it would garble the text).
    std::string Scrub(std::string text) const {
        if (target.password && target.password->size() >= kMinScrubbedPassword) {
            const auto& secret = *target.password;
            for (auto at = text.find(secret); at != std::string::npos;
                 at = text.find(secret, at + 3))
                text.replace(at, secret.size(), "***");
        }
        // user:password@ of a URL
        for (auto scheme = text.find("://"); scheme != std::string::npos;
             scheme = text.find("://", scheme + 3)) {
            const auto hostStart = scheme + 3;
            const auto end = text.find_first_of("/ \t\"'", hostStart);
            const auto at = text.rfind('@', end == std::string::npos ? text.size() : end);
            if (at != std::string::npos && at >= hostStart)
                text.erase(hostStart, at + 1 - hostStart);
        }
        return text;
    }
};

CameraHealth::CameraHealth(CameraCheckPolicy policy, std::function<void()> changed)
    : changed_(std::move(changed)),
      context_(gst::Adopt(g_main_context_new())),
      loop_(gst::Adopt(g_main_loop_new(context_.get(), FALSE))),
      policy_(policy) {
    thread_ = std::thread([this] { Run(); });
}

CameraHealth::~CameraHealth() {
    {
        const std::lock_guard lock(mutex_);
        for (auto& [path, record] : records_)
            record->media->Detach();
    }
    // Quit from inside the loop: a quit before the thread entered it would be lost.
    GSource* quit = g_idle_source_new();
    g_source_set_callback(
        quit,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop_.get(), nullptr);
    g_source_attach(quit, context_.get());
    g_source_unref(quit);
    thread_.join();
}

void CameraHealth::Run() {
    g_main_context_push_thread_default(context_.get());
    g_main_loop_run(loop_.get());
    // What runs on the context goes with the thread: the checks are cancelled, and their
    // callbacks run (to release what they hold) while nothing new is started.
    stopping_ = true;
    checks_.clear();
    for (int round = 0; round < kDrainRounds && g_main_context_iteration(context_.get(), FALSE);
         ++round) {
    }
    for (auto* timer : {&checkTimer_, &tick_}) {
        if (*timer) {
            g_source_destroy(timer->get());
            timer->reset();
        }
    }
    g_main_context_pop_thread_default(context_.get());
}

void CameraHealth::Add(const Config::CameraSettings& camera) {
    auto record = std::make_unique<Record>();
    record->path = camera.path;
    record->name = camera.name;
    record->target.url = camera.url;
    if (camera.auth) {
        record->target.user = camera.auth->name;
        record->target.password = camera.auth->password;
    }
    record->media = std::make_shared<CameraMedia>([this] {
        mediaChanged_ = true;
        Wake();
    });
    {
        const std::lock_guard lock(mutex_);
        if (policy_.interval.count() == 0)
            record->state = CameraState::kIdle;
        record->nextCheck =
            Clock::now() + FirstCheckOffset(camera.path, std::min<milliseconds>(policy_.firstWithin,
                                                                                policy_.interval));
        auto& slot = records_[camera.path];
        if (slot)
            slot->media->Detach();  // a camera mounted again without having been removed
        slot = std::move(record);
    }
    Wake();
}

void CameraHealth::Remove(const std::string& path) {
    std::unique_ptr<Record> gone;
    {
        const std::lock_guard lock(mutex_);
        const auto it = records_.find(path);
        if (it == records_.end())
            return;
        gone = std::move(it->second);
        records_.erase(it);
    }
    gone->media->Detach();
    Wake();
}

void CameraHealth::SetCheckInterval(std::chrono::seconds interval) {
    {
        const std::lock_guard lock(mutex_);
        if (policy_.interval == interval)
            return;
        policy_.interval = interval;
        const auto now = Clock::now();
        for (auto& [path, record] : records_)
            record->nextCheck =
                now + FirstCheckOffset(path, std::min<milliseconds>(policy_.firstWithin, interval));
    }
    Wake();
}

std::shared_ptr<CameraMedia> CameraHealth::Media(const std::string& path) {
    const std::lock_guard lock(mutex_);
    const auto it = records_.find(path);
    return it != records_.end() ? it->second->media : nullptr;
}

void CameraHealth::MediaFailed(const std::string& path, const std::string& reason) {
    {
        const std::lock_guard lock(mutex_);
        const auto it = records_.find(path);
        if (it == records_.end())
            return;
        Record& record = *it->second;
        record.failedGeneration = record.media->Generation();
        SetStateLocked(record, Classify(reason), record.Scrub(reason));
    }
    Wake();
}

std::vector<CameraStatus> CameraHealth::Cameras() {
    std::vector<CameraStatus> cameras;
    std::vector<std::shared_ptr<CameraMedia>> media;
    const auto now = Clock::now();
    {
        const std::lock_guard lock(mutex_);
        cameras.reserve(records_.size());
        media.reserve(records_.size());
        for (const auto& [path, record] : records_) {
            auto& m = *record->media;
            CameraStatus status;
            status.path = path.substr(1);
            status.name = record->name;
            status.state = CameraStateName(record->state);
            status.since = IsoTime(record->since);
            status.lastError = record->lastError;
            std::string codec = m.Active() ? m.Codec() : std::string{};
            status.codec = codec.empty() ? record->codec : std::move(codec);
            if (m.Active() && !record->samples.empty()) {
                const auto& [at, bytes] = record->samples.front();
                const auto span = static_cast<std::uint64_t>(std::max<std::int64_t>(
                    duration_cast<milliseconds>(now - at).count(), kMinBitrateSpan.count()));
                // Rounded up: a camera that sent anything in the window shows above 0.
                status.bitrateKbps = ((m.Bytes() - bytes) * 8 + span - 1) / span;
            }
            if (const auto last = m.LastPacketUs(); last > 0)
                status.lastPacketAt =
                    IsoTime(std::chrono::system_clock::time_point(std::chrono::microseconds(last)));
            cameras.push_back(std::move(status));
            media.push_back(record->media);
        }
    }
    // The jitter buffer is asked without our lock held.
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        if (media[i]->Active())
            cameras[i].packetsLost = media[i]->PacketsLost();
    }
    return cameras;
}

void CameraHealth::Wake() {
    {
        const std::lock_guard lock(mutex_);
        if (wakePending_)
            return;
        wakePending_ = true;
    }
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer self) -> gboolean {
            static_cast<CameraHealth*>(self)->Update();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(source, context_.get());
    g_source_unref(source);
}

void CameraHealth::Update() {
    if (stopping_)
        return;
    bool changed = false;
    // The states follow the media only when a media told something (or on the tick): a wake
    // for a check leaves the other cameras alone.
    const bool reconcile = mediaChanged_.exchange(false);
    {
        const std::lock_guard lock(mutex_);
        wakePending_ = false;
        const auto now = Clock::now();
        if (reconcile) {
            anyActive_ = false;
            for (auto& [path, record] : records_) {
                ReconcileLocked(*record, now);
                anyActive_ = anyActive_ || record->media->Active();
            }
        }
        // Checks of cameras that went away are dropped.
        std::erase_if(checks_,
                      [this](const auto& check) { return !records_.contains(check.first); });
        ScheduleLocked(now);
        changed = std::exchange(changedPending_, false);
    }
    // While a media runs: its bit rate, and whether its packets still come.
    const bool active = anyActive_;
    if (active && !tick_) {
        tick_ = gst::Adopt(g_timeout_source_new_seconds(1));
        g_source_set_callback(
            tick_.get(),
            [](gpointer self) -> gboolean {
                auto* health = static_cast<CameraHealth*>(self);
                health->mediaChanged_ = true;
                health->Update();
                return G_SOURCE_CONTINUE;
            },
            this, nullptr);
        g_source_attach(tick_.get(), context_.get());
    } else if (!active && tick_) {
        g_source_destroy(tick_.get());
        tick_.reset();
    }
    if (changed && changed_)
        changed_();
}

void CameraHealth::ReconcileLocked(Record& record, Clock::time_point now) {
    CameraMedia& media = *record.media;
    if (media.Active()) {
        record.mediaSeen = true;
        // The window starts where the media began: its first packets may predate our look.
        if (record.samples.empty())
            record.samples.push_back(media.Began());
        if (now - record.samples.back().first >= std::chrono::seconds(1))
            record.samples.emplace_back(now, media.Bytes());
        while (record.samples.size() > 1 && now - record.samples[1].first >= kBitrateWindow)
            record.samples.pop_front();
        if (record.failedGeneration == media.Generation())
            return;  // the failure of this media stands until a new one is built
        if (!media.Flowing()) {
            SetStateLocked(record, CameraState::kConnecting, record.lastError);
        } else if (g_get_real_time() - media.LastPacketUs() >
                   duration_cast<std::chrono::microseconds>(policy_.packetSilence).count()) {
            SetStateLocked(
                record, CameraState::kUnreachable,
                fmt::format("no packets from the camera for {} s", policy_.packetSilence.count()));
        } else {
            SetStateLocked(record, CameraState::kStreaming, record.lastError);
        }
        return;
    }
    record.samples.clear();
    if (!record.mediaSeen)
        return;
    // The media is gone: a camera that streamed until then was answering.
    record.mediaSeen = false;
    if (record.state == CameraState::kStreaming || record.state == CameraState::kConnecting)
        SetStateLocked(record, CameraState::kIdle, record.lastError);
    if (policy_.interval.count() > 0)
        record.nextCheck = NextCheck(record.path, now, policy_.interval);
}

void CameraHealth::ScheduleLocked(Clock::time_point now) {
    if (policy_.interval.count() == 0) {
        checks_.clear();
        for (auto& [path, record] : records_)
            record->checking = false;
        if (checkTimer_) {
            g_source_destroy(checkTimer_.get());
            checkTimer_.reset();
        }
        return;
    }
    auto next = Clock::time_point::max();
    for (auto& [path, record] : records_) {
        if (record->checking || record->media->Active())
            continue;
        if (record->nextCheck <= now + kCheckBatch && checks_.size() < policy_.parallel) {
            const std::uint64_t id = nextCheckId_++;
            record->checking = true;
            record->nextCheck = NextCheck(path, now, policy_.interval);
            checks_[path] = RunningCheck{
                id, CameraCheck::Start(context_.get(), record->target,
                                       [this, path = path, id](CameraCheckResult result) {
                                           CheckDone(path, id, std::move(result));
                                       })};
            continue;
        }
        next = std::min(next, record->nextCheck);
    }
    if (next == Clock::time_point::max()) {
        if (checkTimer_) {
            g_source_destroy(checkTimer_.get());
            checkTimer_.reset();
        }
        return;
    }
    ArmTimer(checkTimer_, std::max(milliseconds(0), duration_cast<milliseconds>(next - now)));
}

void CameraHealth::ArmTimer(gst::GRef<GSource>& timer, milliseconds delay) {
    if (timer)
        g_source_destroy(timer.get());
    timer = gst::Adopt(g_timeout_source_new(static_cast<guint>(delay.count())));
    g_source_set_callback(
        timer.get(),
        [](gpointer self) -> gboolean {
            auto* health = static_cast<CameraHealth*>(self);
            health->checkTimer_.reset();  // the context drops it after this call
            health->Update();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(timer.get(), context_.get());
}

void CameraHealth::CheckDone(const std::string& path, std::uint64_t id, CameraCheckResult result) {
    {
        const std::lock_guard lock(mutex_);
        const auto ours = checks_.find(path);
        if (ours == checks_.end() || ours->second.id != id)
            return;
        // Destroyed in its own callback: the check holds itself until the callback returned.
        checks_.erase(ours);
        const auto it = records_.find(path);
        if (it != records_.end())
            it->second->checking = false;
        if (it != records_.end() && !it->second->media->Active()) {
            Record& record = *it->second;
            switch (result.outcome) {
                case CameraCheckResult::Outcome::kAnswering:
                    record.codec = result.codec;
                    SetStateLocked(record, CameraState::kIdle, record.lastError);
                    break;
                case CameraCheckResult::Outcome::kUnreachable:
                    SetStateLocked(record, CameraState::kUnreachable, record.Scrub(result.error));
                    break;
                case CameraCheckResult::Outcome::kUnauthorized:
                    SetStateLocked(record, CameraState::kUnauthorized, record.Scrub(result.error));
                    break;
                case CameraCheckResult::Outcome::kFailed:
                    SetStateLocked(record, CameraState::kFailed, record.Scrub(result.error));
                    break;
            }
        }
    }
    // On the health thread already: the next checks start now.
    Update();
}

bool CameraHealth::SetStateLocked(Record& record, CameraState state, std::string error) {
    if (state == record.state && error == record.lastError)
        return false;
    if (state != record.state) {
        const bool was = Working(record.state);
        const bool is = Working(state);
        if (was && !is) {
            SPDLOG_WARN("Camera '{}' at path '{}' is {}: {}", record.name, record.path,
                        CameraStateName(state), error);
        } else if (!was && is) {
            SPDLOG_INFO("Camera '{}' at path '{}' is {} again", record.name, record.path,
                        CameraStateName(state));
        }
        record.since = std::chrono::system_clock::now();
        record.state = state;
    }
    record.lastError = std::move(error);
    changedPending_ = true;
    return true;
}

}  // namespace Norvane::Tavrel
