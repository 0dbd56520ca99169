#include "PXPreviewWindow.h"

#include "PXRecoveryCell.h"
#include "RecoveryTableModel.h"
#include "app_strings.h"
#include "recovery_texts.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

} // namespace

PXPreviewWindow::PXPreviewWindow(PXRecoveryCell* icons, QWidget* parent)
    : QWidget(parent, Qt::Tool), m_icons(icons) {
    setWindowTitle(text("200_Preview Title"));
    auto* layout = new QVBoxLayout(this);
    m_stack = new QStackedWidget(this);
    m_image = new QLabel(m_stack);
    m_image->setAlignment(Qt::AlignCenter);
    m_text = new QPlainTextEdit(m_stack);
    m_text->setReadOnly(true);
    m_text->setFocusPolicy(Qt::NoFocus);
    auto* info = new QWidget(m_stack);
    auto* infoLayout = new QVBoxLayout(info);
    m_infoIcon = new QLabel(info);
    m_infoIcon->setAlignment(Qt::AlignCenter);
    m_infoText = new QLabel(info);
    m_infoText->setAlignment(Qt::AlignCenter);
    m_infoText->setWordWrap(true);
    infoLayout->addStretch(1);
    infoLayout->addWidget(m_infoIcon);
    infoLayout->addWidget(m_infoText);
    infoLayout->addStretch(1);
    m_stack->addWidget(m_image);
    m_stack->addWidget(m_text);
    m_stack->addWidget(info);
    m_caption = new QLabel(this);
    m_caption->setAlignment(Qt::AlignCenter);
    layout->addWidget(m_stack, 1);
    layout->addWidget(m_caption);
    resize(480, 420);
}

void PXPreviewWindow::setItems(const std::vector<TrashCacheItem>& items) {
    m_items = items;
    m_current = items.empty() ? -1 : 0;
    showCurrent();
}

void PXPreviewWindow::showIndex(int index) {
    if (index < 0 || index >= static_cast<int>(m_items.size()))
        return;
    m_current = index;
    showCurrent();
}

QString PXPreviewWindow::shownName() const {
    return m_current < 0 ? QString() : m_items[static_cast<std::size_t>(m_current)].displayName;
}

void PXPreviewWindow::showCurrent() {
    if (m_current < 0) {
        m_kind = "info";
        m_infoIcon->clear();
        m_infoText->setText(text("200_Preview Nothing Selected"));
        m_caption->clear();
        m_stack->setCurrentIndex(2);
        return;
    }
    const TrashCacheItem& item = m_items[static_cast<std::size_t>(m_current)];
    m_caption->setText(m_items.size() > 1 ? text("200_Preview Caption Many")
                                                .arg(item.displayName)
                                                .arg(m_current + 1)
                                                .arg(m_items.size())
                                          : item.displayName);
    QFileInfo info(item.path);
    static QMimeDatabase database;
    const QString key = RecoveryTableModel::iconKey(item.displayName.toStdString(), item.isFolder);
    QMimeType type = database.mimeTypeForName(key);

    if (!item.isFolder && info.isFile()) {
        QImageReader reader(item.path);
        reader.setAutoTransform(true);
        if (reader.canRead()) {
            QSize size = reader.size();
            // The window's own size: the stack is not laid out yet before the first show.
            const QSize room = (this->size() - QSize(24, 60)).expandedTo(QSize(200, 150));
            if (size.isValid() && (size.width() > room.width() || size.height() > room.height()))
                reader.setScaledSize(size.scaled(room, Qt::KeepAspectRatio));
            QImage image = reader.read();
            if (!image.isNull()) {
                m_image->setPixmap(QPixmap::fromImage(image));
                m_kind = "image";
                m_stack->setCurrentIndex(0);
                return;
            }
        }
        QMimeType content = database.mimeTypeForFile(item.path, QMimeDatabase::MatchContent);
        if (content.inherits("text/plain") && info.size() <= kTextLimit) {
            QFile file(item.path);
            if (file.open(QIODevice::ReadOnly)) {
                m_text->setPlainText(QString::fromUtf8(file.read(kTextLimit)));
                m_kind = "text";
                m_stack->setCurrentIndex(1);
                return;
            }
        }
    }
    const QIcon icon = m_icons ? m_icons->iconForKey(key) : QIcon();
    m_infoIcon->setPixmap(icon.pixmap(128, 128));
    QString details = "<b>" + item.displayName.toHtmlEscaped() + "</b>";
    if (!item.isFolder && info.exists())
        details += "<br>" + QString::fromStdString(englishSizeText(static_cast<std::uint64_t>(info.size())));
    details += "<br>" + (type.isValid() ? type.comment() : key).toHtmlEscaped();
    m_infoText->setText(details);
    m_kind = "info";
    m_stack->setCurrentIndex(2);
}

void PXPreviewWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Up:
        emit moveSelection(-1);
        return;
    case Qt::Key_Down:
        emit moveSelection(1);
        return;
    case Qt::Key_Left:
        showIndex(m_current - 1);
        return;
    case Qt::Key_Right:
        showIndex(m_current + 1);
        return;
    case Qt::Key_Space:
    case Qt::Key_Escape:
        hide();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

} // namespace bw
