#pragma once
// The window's progress sheet (genericProgressWin): a status line and a bar over the main window while
// long work runs on one worker thread. The worker reports through the main thread; widgets are touched
// there only.

#include <QObject>
#include <QString>

#include <functional>
#include <thread>

class QDialog;
class QLabel;
class QProgressBar;
class QWidget;

namespace bw {

class PXProgressSheet : public QObject {
    Q_OBJECT
public:
    // What the worker calls: the bar's value and, when `maximum` is 0 or more, its new range (0 = busy,
    // without a known end); a non-empty line replaces the status text. Safe from any thread.
    using Report = std::function<void(int value, int maximum, const QString& line)>;

    PXProgressSheet(QWidget* window, const QString& title, QObject* parent = nullptr);
    // Waits for a worker still running.
    ~PXProgressSheet() override;

    // Shows the sheet with `status` and a bar from 0 to `steps`, runs `work` on the worker thread, then
    // hides the sheet and runs `done` on the main thread. False (nothing run) while a worker runs.
    bool run(const QString& status, int steps, std::function<void(const Report&)> work, std::function<void()> done);

    bool isBusy() const { return m_busy; }
    QDialog* genericProgressWin() const { return m_sheet; }
    QLabel* genericTF() const { return m_statusTF; }
    QProgressBar* genericPB() const { return m_bar; }

private:
    QDialog* m_sheet = nullptr;
    QLabel* m_statusTF = nullptr;
    QProgressBar* m_bar = nullptr;
    bool m_busy = false;
    std::thread m_worker;
};

} // namespace bw
