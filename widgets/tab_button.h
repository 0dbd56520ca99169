#pragma once
// One of the main window's tab buttons: icon above text, flat until the pointer rolls over it, and
// pressed in while its tab is shown. The tag is the tab's position.

#include <QToolButton>

namespace bw {

class PXTabButton : public QToolButton {
    Q_OBJECT
public:
    PXTabButton(int tag, const QString& title, const QIcon& icon, QWidget* parent = nullptr);

    int tag() const { return m_tag; }
    // On or off (only the look; the window decides which tab is shown).
    void setState(bool on) { setChecked(on); }
    bool state() const { return isChecked(); }

signals:
    // Pressed by the user (or by click()), with the button's tag.
    void tabPressed(int tag);

protected:
    void nextCheckState() override;

private:
    int m_tag;
};

} // namespace bw
