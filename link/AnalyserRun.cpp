#include "link/AnalyserRun.h"

namespace fw {

AnalyserRun::AnalyserRun(ModFlashwright& m, RunServices s)
    : mod(m), rows(s.view),
      link(rows, std::move(s.makers), s.box,
           [this, after = std::move(s.afterArrival)](const std::string& text) {
               engine.RecData(text);
               if (after) {
                   after();
               }
           }),
      engine(m, s.fields, rows, link, s.box, s.runLog) {
}

void AnalyserRun::Stop() {
    mod.nUpdateState = UpdateState::Idle;
    link.CloseUsb();
    engine.AbandonRun();
}

} // namespace fw
