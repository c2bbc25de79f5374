#include "schedule.h"

#include "prober.h"

#include <cmath>
#include <cstdio>

namespace {

// Milliseconds the request takes on the wire at these settings, rounded up.
int wire_ms(qsizetype bytes, const QString &settings) {
    const auto s = parse_settings(settings);
    if (!s) return 0;
    return int(std::ceil(1000.0 * double(bytes) * bits_per_char(*s) / s->rate));
}

QByteArray exchange_line(const Plan &plan, const Exchange &e) {
    return plan.json ? json_line(e) : human_line(e);
}

} // namespace

void write_out(const QByteArray &bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

std::unique_ptr<Schedule> Schedule::of(const Plan &plan) {
    if (plan.discovery != Discovery::None) return std::make_unique<DiscoverySchedule>(plan);
    return std::make_unique<PollSchedule>(plan);
}

bool Schedule::roundOver() const {
    return position_ == plan_.addresses.size() * plan_.channels.size();
}

void Schedule::skipRound() {
    position_ = plan_.addresses.size() * plan_.channels.size();
}

Schedule::Step Schedule::at(qsizetype position, Selection sel) const {
    const qsizetype channels = plan_.channels.size();
    Step s{Step::Send, std::move(sel), plan_.addresses[position / channels],
           plan_.channels[position % channels]};
    s.sel.address = QString::number(s.address);
    s.sel.channel = QString::number(s.channel);
    return s;
}

Schedule::Step PollSchedule::next() {
    if (roundOver()) position_ = 0;
    if (position_ == 0) {
        if (plan_.rounds > 0 && round_ >= plan_.rounds) return {};
        if (round_ > 0 && plan_.intervalMs > 0) {
            const qint64 left = plan_.intervalMs - roundClock_.elapsed();
            if (left > 0) return {Step::Wait, {}, 0, 0, int(left)};
        }
        ++round_;
        roundClock_.start();
    }
    return at(position_++, plan_.base);
}

void PollSchedule::judged(const Exchange &e) {
    stats_.add(e);
    // A scan lists only the addresses that answered.
    if (!(plan_.scan && e.verdict == Verdict::Timeout)) write_out(exchange_line(plan_, e));
}

void PollSchedule::stray(const Exchange &e) {
    stats_.add(e);
    write_out(exchange_line(plan_, e));
}

int PollSchedule::exitCode() const {
    return stats_.allGood(plan_.scan) ? 0 : 1;
}

QByteArray PollSchedule::summary(bool interrupted, bool sentAny, bool) const {
    if (!sentAny) return {};
    return plan_.json ? stats_.json(interrupted) : stats_.human(interrupted);
}

DiscoverySchedule::DiscoverySchedule(const Plan &plan)
    : Schedule(plan),
      rows_(discovery_rows(plan.discovery, plan.settingsGiven ? plan.base.settings : QString())) {}

Schedule::Step DiscoverySchedule::next() {
    if (roundOver()) {
        position_ = 0;
        if (endTrial()) return {};
    }
    if (position_ == 0) trials_.append(Trial{rows_[trials_.size()], true, Came::Nothing, {}, {}});
    Selection sel = plan_.base;
    if (plan_.discovery == Discovery::Settings)
        sel.settings = trials_.last().tried;
    else
        sel.signal = trials_.last().tried;
    return at(position_++, sel);
}

// The trial under way is over: its line, and whether the discovery is done.
bool DiscoverySchedule::endTrial() {
    const Trial &t = trials_.last();
    write_out(trial_line(plan_.discovery, t, plan_.json));
    ++told_;
    const bool found = t.held && t.came == Came::Good;
    return (found && plan_.discovery == Discovery::Settings) || trials_.size() == rows_.size();
}

// The frame's own wire time too: at 1200 baud it is longer than many a time-out.
int DiscoverySchedule::extraWaitMs(const Selection &sel, qsizetype requestBytes) const {
    return wire_ms(requestBytes, sel.settings);
}

void DiscoverySchedule::judged(const Exchange &e) {
    Trial &t = trials_.last();
    const Came came = came_of(e);
    if (came == Came::Good) t.good << e.address;
    if (came > t.came || t.telling.time.isNull()) {
        t.came = came;
        t.telling = e;
    }
}

// An instrument did answer on these settings: the row says which.
void DiscoverySchedule::stray(const Exchange &e) {
    Trial &t = trials_.last();
    if (Came::Stray > t.came) {
        t.came = Came::Stray;
        t.telling = e;
    }
}

// Not these settings, or no RS-485 mode, on this device or server: a row of
// the discovery, not the end of it.
bool DiscoverySchedule::roundRefused(const PortError &e) {
    if (trials_.isEmpty()) return false;
    const bool row = plan_.discovery == Discovery::Settings
                         ? e.kind == PortError::Settings || e.kind == PortError::SettingsNotHeld
                         : e.kind == PortError::Rs485Refused || e.kind == PortError::Rs485NotHeld;
    if (!row) return false;
    trials_.last().held = false;
    skipRound();
    return true;
}

int DiscoverySchedule::exitCode() const {
    for (const Trial &t : trials_)
        if (t.held && t.came == Came::Good) return 0;
    return 1;
}

QByteArray DiscoverySchedule::summary(bool, bool, bool failed) const {
    // A trial cut short by Ctrl+C has no line: it is not counted either.
    if (told_ == 0 || failed) return {};
    return discovery_result(plan_.discovery, trials_.first(told_), plan_.json);
}
