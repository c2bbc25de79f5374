#pragma once

#include "report.h"
#include "selection.h"
#include "serialport.h"

#include <QElapsedTimer>
#include <QList>
#include <QStringList>
#include <memory>

struct Plan;

// What a run does between its exchanges: which exchange comes next, what
// each outcome means for the run, and its last words. The prober's one
// exchange loop asks it at every step.
class Schedule {
public:
    // The next exchange, a wait before asking again, or the end of the run.
    struct Step {
        enum Kind { Send, Wait, Done } kind = Done;
        Selection sel;
        int address = 0, channel = 0;
        int waitMs = 0;
    };

    explicit Schedule(const Plan &plan) : plan_(plan) {}
    virtual ~Schedule() = default;
    static std::unique_ptr<Schedule> of(const Plan &plan);

    virtual Step next() = 0;
    // How long to wait for this request's reply, beyond the time-out.
    virtual int extraWaitMs(const Selection &, qsizetype) const { return 0; }
    virtual void judged(const Exchange &e) = 0;
    virtual void stray(const Exchange &e) = 0;
    // A port refusal that ends this round, not the run.
    virtual bool roundRefused(const PortError &) { return false; }
    virtual int exitCode() const = 0;
    // The run's last lines: after at least one frame went out, unless it failed.
    virtual QByteArray summary(bool interrupted, bool sentAny, bool failed) const = 0;

protected:
    // Every address on every channel, once a round, in the order given.
    bool roundOver() const;
    Step at(qsizetype position, Selection sel) const;
    void skipRound();

    const Plan &plan_;
    qsizetype position_ = 0; // next exchange within the round
};

// Polling: rounds over the addresses and channels, --count of them, one
// every --interval.
class PollSchedule : public Schedule {
public:
    using Schedule::Schedule;
    Step next() override;
    void judged(const Exchange &e) override;
    void stray(const Exchange &e) override;
    int exitCode() const override;
    QByteArray summary(bool interrupted, bool sentAny, bool failed) const override;

private:
    Statistics stats_;
    int round_ = 0; // rounds begun
    QElapsedTimer roundClock_;
};

// A discovery: one round for each setting or direction tried.
class DiscoverySchedule : public Schedule {
public:
    explicit DiscoverySchedule(const Plan &plan);
    Step next() override;
    int extraWaitMs(const Selection &sel, qsizetype requestBytes) const override;
    void judged(const Exchange &e) override;
    void stray(const Exchange &e) override;
    bool roundRefused(const PortError &e) override;
    int exitCode() const override;
    QByteArray summary(bool interrupted, bool sentAny, bool failed) const override;

private:
    bool endTrial();

    QStringList rows_;    // the settings or directions to try
    QList<Trial> trials_; // those tried so far; the last is under way
    qsizetype told_ = 0;  // trial lines written
};

// Each line written out at once, for a pipe reading as it goes.
void write_out(const QByteArray &bytes);
