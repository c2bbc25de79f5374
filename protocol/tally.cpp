#include "tally.h"

#include <algorithm>
#include <cmath>

Verdict verdict_of(CommResult::Kind kind) {
    switch (kind) {
    case CommResult::Kind::Ok:
        return Verdict::Ok;
    case CommResult::Kind::Err:
        return Verdict::Err;
    case CommResult::Kind::Ack:
        return Verdict::Ack;
    case CommResult::Kind::Nak:
        return Verdict::Nak;
    case CommResult::Kind::None:
        break;
    }
    return Verdict::Malformed;
}

void Tally::add(const Exchange &e) {
    ++counts_[int(e.verdict)];
    if (e.verdict == Verdict::Stray) return;
    ++sent_;
    if (e.verdict == Verdict::Ok || e.verdict == Verdict::Ack) {
        run_ = 0;
    } else {
        longestRun_ = std::max(longestRun_, ++run_);
        lastFailure_ = e.time;
    }
    if (!e.latencyMs) return;
    const double ms = *e.latencyMs;
    min_ = latencies_ ? std::min(min_, ms) : ms;
    max_ = latencies_ ? std::max(max_, ms) : ms;
    ++bins_[qint64(std::llround(ms / kBinMs))];
    ++latencies_;
}

double Tally::nth(qint64 k) const {
    qint64 seen = 0;
    for (const auto &[bin, n] : bins_) {
        seen += n;
        if (seen > k) return std::clamp(double(bin) * kBinMs, min_, max_);
    }
    return max_;
}

std::optional<LatencySummary> Tally::latency() const {
    if (!latencies_) return std::nullopt;
    const qint64 n = latencies_;
    const double median = n % 2 ? nth(n / 2) : (nth(n / 2 - 1) + nth(n / 2)) / 2;
    // Nearest rank: the smallest value with at least 99 % of all at or below it.
    const auto rank = std::clamp<qint64>(qint64(std::ceil(0.99 * double(n))), 1, n);
    return LatencySummary{min_, median, nth(rank - 1), max_};
}
