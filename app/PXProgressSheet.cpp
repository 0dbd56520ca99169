#include "PXProgressSheet.h"

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QVBoxLayout>

namespace bw {

PXProgressSheet::PXProgressSheet(QWidget* window, const QString& title, QObject* parent) : QObject(parent) {
    m_sheet = new QDialog(window, Qt::Sheet);
    m_sheet->setWindowModality(Qt::WindowModal);
    m_sheet->setWindowTitle(title);
    auto* layout = new QVBoxLayout(m_sheet);
    m_statusTF = new QLabel(m_sheet);
    m_bar = new QProgressBar(m_sheet);
    m_bar->setMinimumWidth(320);
    layout->addWidget(m_statusTF);
    layout->addWidget(m_bar);
}

PXProgressSheet::~PXProgressSheet() {
    if (m_worker.joinable())
        m_worker.join();
}

bool PXProgressSheet::run(const QString& status, int steps, std::function<void(const Report&)> work,
                          std::function<void()> done) {
    if (m_busy || m_worker.joinable())
        return false;
    m_busy = true;
    m_statusTF->setText(status);
    m_bar->setRange(0, std::max(steps, 0));
    m_bar->setValue(0);
    m_sheet->open();
    QPointer<PXProgressSheet> self(this);
    Report report = [self](int value, int maximum, const QString& line) {
        QMetaObject::invokeMethod(
            self,
            [self, value, maximum, line] {
                if (!self)
                    return;
                if (maximum >= 0)
                    self->m_bar->setRange(0, maximum);
                self->m_bar->setValue(value);
                if (!line.isEmpty())
                    self->m_statusTF->setText(line);
            },
            Qt::QueuedConnection);
    };
    m_worker = std::thread([self, work = std::move(work), done = std::move(done), report] {
        work(report);
        QMetaObject::invokeMethod(
            self,
            [self, done] {
                if (!self)
                    return;
                self->m_worker.join();
                self->m_sheet->hide();
                self->m_busy = false;
                done();
            },
            Qt::QueuedConnection);
    });
    return true;
}

} // namespace bw
