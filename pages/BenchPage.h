// The wizard's bench: several analysers flashed at once with the file and
// operations the other pages show, one row per analyser (its name, the step,
// a bar of confirmed records with the speed, the result and why), the count
// under them, and the station: a serial port or converter that appears while
// the page is open is flashed at once. Each analyser is a run of its own on
// the bench of runs (run/Bench.h); a message box a run raises becomes its
// row's reason, never a modal box that holds up the other runs.
#pragma once

#include "engine/MessageBox.h"
#include "engine/RunConfig.h"
#include "link/Transport.h"
#include "link/usb/UsbDriver.h"
#include "pages/PortDiscovery.h"
#include "pages/PortWatch.h"
#include "pages/QtPage.h"
#include "run/Bench.h"

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QStyle;
class QPushButton;
class QTimer;
class QWidget;

namespace fw {

// One entry of the bench's checklist on the connection page.
struct BenchEntry {
    std::string label; // as the connection page lists it ("COM3 (In Use)", "Cable : FT000042")
    std::string name;  // as the bench names it ("COM3", "usb:FT000042", "lab-pc:4001")
    bool chosen = false;
};
// The checklist: the names ticked, or nullopt when the user cancelled.
using BenchPicker = std::function<std::optional<std::vector<std::string>>(
    QWidget* parent, const std::vector<BenchEntry>& entries)>;
// The toolkit's dialog: the entries ticked as given, and a line to add a
// device server's address.
std::optional<std::vector<std::string>> PickBenchWithDialog(QWidget* parent,
                                                            const std::vector<BenchEntry>& entries);

inline constexpr const char* kBenchRefused =
    "The firmware file was refused: no analyser was touched.";
// How often the station looks at the port list.
inline constexpr int kStationPollMs = 300;

class BenchPage : public QtPage {
public:
    struct Services {
        const RunConfig& choices; // the file and the operations
        IMessageBox& box;         // the refused file's message
        TransportMakers makers;
        IRunLog* runLog = nullptr;
        PortListSource portList; // the serial ports the station watches
        IUsbDriver& usb;         // the converters it watches
    };
    class Screen; // one run's screen

    explicit BenchPage(Services services);
    ~BenchPage() override;

    void Attach(IPage& operations) { operations_ = &operations; }
    // The analysers the next bench flashes, by name.
    void SetAnalysers(std::vector<std::string> names) { names_ = std::move(names); }
    // The operations page's Next: the file is checked once, then every
    // analyser gets its run.
    void StartBench();

    void btnPrevious_Click();
    // Flashes again the analysers whose last run was not OK.
    void btnAgain_Click();
    // The station on or off; it watches serial ports, or converters.
    void SetStation(bool on, bool converters = false);
    // One look at the ports (the station's timer makes one every kStationPollMs).
    void LookAtPorts();

    // What the page shows, for the tests and the benchmark.
    struct RowText {
        std::string name, step, bar, result;
    };
    std::vector<RowText> Rows() const;
    std::string CountText() const;
    Bench* Runs() const { return bench_.get(); }
    // Every run started has ended, and none waits to start.
    bool Done() const;
    // Units the station has flashed (ended runs), and of those OK.
    int StationDone() const { return stationDone_; }
    int StationOk() const { return stationOk_; }

protected:
    void BuildControls(QWidget* window) override;
    void FormUnload() override;
    void QueryClose() override;

private:
    struct Row;
    Row& AddRow(const std::string& name, bool station);
    void Launch(Row& row);
    void LaunchNext();
    void RemoveRow(Row& row);
    void Redraw();
    void Ended(BenchRun& run);
    void UpdateCount();
    std::unique_ptr<IRunScreen> MakeScreen(const BenchRun& run);

    Services s_;
    IPage* operations_ = nullptr;
    std::vector<std::string> names_;
    std::unique_ptr<Bench> bench_;
    std::shared_ptr<const FirmwareCheck> checked_; // the file as checked once for the bench
    bool refused_ = false;
    std::vector<std::unique_ptr<Row>> rows_;
    std::deque<Row*> toLaunch_;         // rows whose runs start at the next turns
    std::map<std::size_t, Row*> byRun_; // the bench's run index -> its row
    int gridRows_ = 0;
    PortWatch watch_;
    bool watchConverters_ = false;
    int stationDone_ = 0;
    int stationOk_ = 0;

    QWidget* rowArea_ = nullptr;
    QStyle* barStyle_ = nullptr; // of the bars, owned by the window
    QLabel* count_ = nullptr;
    QPushButton* again_ = nullptr;
    QCheckBox* station_ = nullptr;
    QComboBox* stationKind_ = nullptr;
    QTimer* redraw_ = nullptr;
    QTimer* poll_ = nullptr;
};

} // namespace fw
