#include "sim/pty_line.h"

namespace nvsim {

std::unique_ptr<PtyLine> PtyLine::open(const NetworkConfig& network, RunnerOptions options) {
    std::unique_ptr<PtyLine> line(new PtyLine(network));
    line->pty_ = platform::PtyPair::open();
    if (!line->pty_)
        return nullptr;
    line->far_end_ = line->pty_->take_master();
    if (!line->far_end_)
        return nullptr;
    line->runner_ = std::make_unique<LineRunner>(line->line_, *line->far_end_, std::move(options));
    if (!line->runner_->start())
        return nullptr;
    return line;
}

PtyLine::~PtyLine() {
    if (runner_)
        runner_->stop();
    runner_.reset();
    far_end_.reset();
    pty_.reset();
}

} // namespace nvsim
