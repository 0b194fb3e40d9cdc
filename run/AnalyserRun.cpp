#include "run/AnalyserRun.h"

namespace fw {

AnalyserRun::AnalyserRun(RunServices s)
    : rows(s.view), link(rows, std::move(s.makers), s.box,
                         [this, after = std::move(s.afterArrival)](const std::string& text) {
                             engine.RecData(text);
                             if (after) {
                                 after();
                             }
                         }),
      engine(s.fields, rows, link, s.box, s.runLog) {
}

void AnalyserRun::Stop() {
    engine.Stop();
    link.CloseLink();
}

} // namespace fw
