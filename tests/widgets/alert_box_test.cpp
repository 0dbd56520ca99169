// Every alert answers a dismissal with its first (safe) button.

#include "alert_box.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>

using namespace bw;

namespace {

QApplication& app() {
    static int argc = 1;
    static char name[] = "widgets_gui_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: a QApplication torn down among the static destructors at exit crashes in QtGui.
    static auto* application = new QApplication(argc, argv);
    return *application;
}

enum class Dismissal { Escape, Close, Return };

struct Case {
    const char* what;
    QStringList buttons;
    Dismissal how;
};

} // namespace

TEST(AlertBox, EscapeCloseAndReturnAnswerTheFirstButton) {
    app();
    const Case cases[] = {
        {"escape, two buttons", {"Don't quit", "Quit"}, Dismissal::Escape},
        {"close, two buttons", {"Cancel", "Delete"}, Dismissal::Close},
        {"escape, four buttons", {"Cancel", "Delete", "Convert", "Ignore"}, Dismissal::Escape},
        {"return, two buttons", {"Don't quit", "Quit"}, Dismissal::Return},
        {"escape, one button", {"OK"}, Dismissal::Escape},
        {"close, no button given", {}, Dismissal::Close},
    };
    for (const Case& c : cases) {
        auto box = buildAlertBox(QMessageBox::Warning, "Title", "Message", c.buttons);
        box->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box.get())) << c.what;
        switch (c.how) {
        case Dismissal::Escape:
            QTest::keyClick(box.get(), Qt::Key_Escape);
            break;
        case Dismissal::Return:
            QTest::keyClick(box.get(), Qt::Key_Return);
            break;
        case Dismissal::Close:
            box->close();
            break;
        }
        EXPECT_EQ(alertAnswer(*box), 0) << c.what;
        EXPECT_FALSE(box->isVisible()) << c.what;
    }
}

TEST(AlertBox, ClickingAButtonAnswersItsPosition) {
    app();
    const QStringList buttons{"Cancel", "Delete", "Convert", "Ignore"};
    for (int i = 0; i < buttons.size(); ++i) {
        auto box = buildAlertBox(QMessageBox::Question, "Title", "Message", buttons);
        box->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box.get()));
        QAbstractButton* target = nullptr;
        for (QAbstractButton* b : box->buttons())
            if (b->text() == buttons[i])
                target = b;
        ASSERT_NE(target, nullptr);
        QTest::mouseClick(target, Qt::LeftButton);
        EXPECT_EQ(alertAnswer(*box), i) << buttons[i].toStdString();
    }
}

TEST(AlertBox, ANamedSafeButtonIsTheDefaultAndWhatDismissingAnswers) {
    app();
    const QStringList buttons{"Delete", "Convert", "Ignore", "Cancel"};
    for (Dismissal how : {Dismissal::Escape, Dismissal::Close, Dismissal::Return}) {
        auto box = buildAlertBox(QMessageBox::Warning, "Title", "Message", buttons, nullptr, 3);
        box->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box.get()));
        EXPECT_EQ(box->defaultButton()->text(), "Cancel");
        if (how == Dismissal::Escape)
            QTest::keyClick(box.get(), Qt::Key_Escape);
        else if (how == Dismissal::Return)
            QTest::keyClick(box.get(), Qt::Key_Return);
        else
            box->close();
        EXPECT_EQ(alertAnswer(*box), 3) << static_cast<int>(how);
    }
}
