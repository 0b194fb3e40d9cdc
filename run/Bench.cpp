#include "run/Bench.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

namespace fw {

std::string NewBatchId() {
    std::random_device random;
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 4) {
        const std::uint32_t word = random();
        for (std::size_t j = 0; j < 4; ++j) {
            bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
        }
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    std::string id;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            id += '-';
        }
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        id += hex;
    }
    return id;
}

const char* OutcomeText(const BenchRun& run) {
    switch (run.Phase()) {
    case BenchPhase::Waiting:
        return "waiting";
    case BenchPhase::Running:
        return "running";
    case BenchPhase::Ended:
        break;
    }
    switch (run.Result()) {
    case RunResult::Success:
        return "OK";
    case RunResult::Failed:
        return "FAILED";
    case RunResult::NoLink:
        return "NO LINK";
    case RunResult::Abandoned:
        return "ABANDONED";
    case RunResult::NotStarted:
        return "NOT STARTED";
    }
    return "";
}

std::size_t DefaultJobs(std::size_t openFileLimit) {
    if (openFileLimit == 0) {
        return kDefaultJobs;
    }
    const std::size_t free = openFileLimit > kReservedFiles ? openFileLimit - kReservedFiles : 0;
    return std::clamp<std::size_t>(free / 4, 1, kDefaultJobs);
}

UploadCount BenchRun::Upload() const {
    if (!live_ || !live_->run) {
        return {};
    }
    const FirmwareSummary& file = live_->run->engine.CheckedFile().summary;
    return {live_->fields.nRecordsSent, live_->fields.nRecordsPassed, file.records, file.bytes};
}

void BenchRun::Log::Append(const RunRecord& record) {
    RunRecord& kept = run_.record_.emplace(record);
    if (bench_.s_.tagRecords) {
        kept.batch = bench_.id_;
        kept.analyser = run_.name;
    }
    if (bench_.s_.runLog != nullptr) {
        bench_.s_.runLog->Append(kept);
    }
}

Bench::Bench(Services services) : s_(std::move(services)), id_(NewBatchId()) {
}

Bench::~Bench() {
    for (BenchRun& run : runs_) {
        if (run.live_) {
            run.live_->run->Stop();
            run.live_->run->Release();
            run.live_->screen->Unload();
        }
    }
}

BenchRun& Bench::Add(std::string name, RunConfig config) {
    BenchRun& run = runs_.emplace_back(runs_.size(), std::move(name), std::move(config));
    ++waiting_;
    if (started_) {
        idleSaid_ = false;
        StartNext();
    }
    return run;
}

void Bench::Start() {
    started_ = true;
    StartNext();
    AfterEnd(); // a bench with nothing to run is idle at once
}

void Bench::StartNext() {
    while (next_ < runs_.size() && (jobs_ == 0 || running_ < jobs_)) {
        BenchRun& run = runs_[next_++];
        if (run.phase_ == BenchPhase::Waiting) {
            Launch(run);
        }
    }
}

// The page's load and activation, then the operations page's Next.
void Bench::Launch(BenchRun& r) {
    --waiting_;
    ++running_;
    r.phase_ = BenchPhase::Running;
    r.live_ = std::make_unique<BenchRun::Live>();
    BenchRun::Live& live = *r.live_;
    live.screen = s_.makeScreen(r);
    live.log = std::make_unique<BenchRun::Log>(r, *this);
    live.run = std::make_unique<AnalyserRun>(
        RunServices{live.screen->View(), live.fields, live.screen->Box(), s_.makers, live.log.get(),
                    [this, &r] { CheckEnd(r); }});
    live.run->engine.SetClock(s_.now);
    live.started = s_.now();
    live.screen->Load([this, &r] { Tick(r); });
    live.run->engine.FormActivate();
    if (on.started) {
        on.started(r);
    }
    live.run->Connect(r.config);
    CheckEnd(r); // a link that did not open ends the run at once
}

void Bench::Tick(BenchRun& r) {
    if (!r.live_ || r.live_->ending) {
        return;
    }
    UpdateEngine& engine = r.live_->run->engine;
    engine.AFTimer1_Timer();
    if (timeout_ && engine.RunActive() && s_.now() - r.live_->started >= *timeout_) {
        engine.FailRun("timed out");
        if (on.timedOut) {
            on.timedOut(r);
        }
    }
    CheckEnd(r);
}

void Bench::CheckEnd(BenchRun& r) {
    if (!r.live_ || r.live_->ending || r.live_->run->engine.RunActive()) {
        return;
    }
    r.live_->ending = true;
    Post([this, &r] {
        WindUp(r);
        StartNext();
        AfterEnd();
    });
}

// What Previous leaves of a run: nothing more is sent, the link and the file
// are closed, a run still under way is recorded as abandoned.
void Bench::WindUp(BenchRun& r) {
    if (r.phase_ != BenchPhase::Running) {
        return;
    }
    std::unique_ptr<BenchRun::Live> live = std::move(r.live_);
    live->ending = true;
    live->run->Stop();
    live->run->Release();
    live->screen->Unload();
    --running_;
    r.phase_ = BenchPhase::Ended;
    const RunRecord& record = live->run->engine.LastRun();
    r.result_ = record.result;
    r.reason_ = record.result == RunResult::Success ? std::string() : record.reason.value_or("");
    // The run's parts go once the event loop is back: this may be called
    // from inside one of their own handlers.
    s_.post([dead = std::shared_ptr<BenchRun::Live>(std::move(live))] {});
    if (on.ended) {
        on.ended(r);
    }
}

void Bench::Stop(BenchRun& r) {
    if (r.phase_ == BenchPhase::Waiting) {
        --waiting_;
        r.phase_ = BenchPhase::Ended;
        r.result_ = RunResult::NotStarted;
        r.reason_ = kReasonNotStarted;
        // On record as well: every analyser named is.
        RunRecord record = RecordOf(r.config);
        record.ended = record.started;
        if (IsSet(r.config.operations.bOpUpload)) {
            RunRecord::Firmware& firmware = record.firmware.emplace();
            firmware.path = r.config.filename;
            if (r.config.checked && r.config.checked->ok) {
                firmware.bytes = r.config.checked->summary.bytes;
                firmware.sha256 = r.config.checked->summary.sha256;
                firmware.records = r.config.checked->summary.records;
            }
        }
        for (const char* caption : kRowCaptions) {
            record.rows.emplace_back(caption, std::string());
        }
        record.result = RunResult::NotStarted;
        record.reason = kReasonNotStarted;
        BenchRun::Log(r, *this).Append(record);
        if (on.ended) {
            on.ended(r);
        }
    } else {
        WindUp(r);
    }
}

void Bench::StopAll() {
    for (BenchRun& r : runs_) {
        Stop(r);
    }
    AfterEnd();
}

void Bench::AfterEnd() {
    if (Idle() && !idleSaid_) {
        idleSaid_ = true;
        if (on.idle) {
            on.idle();
        }
    }
}

void Bench::Post(std::function<void()> call) {
    s_.post([alive = std::weak_ptr<char>(alive_), call = std::move(call)] {
        if (alive.lock()) {
            call();
        }
    });
}

} // namespace fw
