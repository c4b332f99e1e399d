#include "console/framework/selectpc.h"

#include "tests/console/framework/scopedenv.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/tempdir.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(SelectPcDlg, ShowsItsTextsWhole) {
    TSelectPcDlg dialog(nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Commuté pour un autre PC");
    auto* prompt = Child<QLabel>(&dialog, "LabPrompt");
    EXPECT_EQ(prompt->text(), "Tapez le nom du PC ou choisissez PC parmi la liste.\n"
                              "Laissez le nom non rempli si vous voulez choisir votre PC");
    EXPECT_EQ(Child<QToolButton>(&dialog, "BtnPc")->toolTip(),
              "Choisissez l'ordinateur où le service travaille");
    EXPECT_FALSE(Child<QToolButton>(&dialog, "BtnPc")->icon().isNull());
    // Only an icon: screen readers say the hint.
    EXPECT_EQ(Child<QToolButton>(&dialog, "BtnPc")->accessibleName(),
              Child<QToolButton>(&dialog, "BtnPc")->toolTip());
    EXPECT_EQ(Child<QPushButton>(&dialog, "BtnOK")->text(), "OK");
    EXPECT_EQ(Child<QPushButton>(&dialog, "BtnCancel")->text(), "Annuler");

    // Whatever the font, the prompt shows all its lines and nothing overlaps it.
    EXPECT_GE(prompt->height(), prompt->heightForWidth(prompt->width()));
    for (const char* name : {"EdPc", "BtnPc", "BtnOK", "BtnCancel"}) {
        QWidget* below = Child<QWidget>(&dialog, name);
        EXPECT_GE(below->y(), prompt->geometry().bottom()) << name;
        EXPECT_LE(below->geometry().bottom(), dialog.height()) << name;
    }
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    // Keyboard order: OK, Cancel, the name, the browse button.
    std::vector<QString> tabOrder;
    QWidget* first = Child<QWidget>(&dialog, "BtnOK");
    QWidget* widget = first;
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            tabOrder.push_back(widget->objectName());
        widget = widget->nextInFocusChain();
    } while (widget != first);
    EXPECT_EQ(tabOrder, (std::vector<QString>{"BtnOK", "BtnCancel", "EdPc", "BtnPc"}));
}

TEST(SelectPcDlg, OkCancelAndTheComputerList) {
    TempDir home;
    mkdir(home.File(".ssh").c_str(), 0700);
    WriteTextFile(home.File(".ssh/config"), "Host picked-pc\n");
    ScopedEnv env("HOME", home.Path());

    // OK with an empty edit: this PC.
    TSelectPcDlg dialog(nullptr);
    dialog.SetPcName("old-pc");
    WhenModalOpens([](QDialog* d) {
        Child<QLineEdit>(d, "EdPc")->clear();
        Child<QPushButton>(d, "BtnOK")->click();
    });
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_EQ(dialog.PcName(), "");

    // The list replaces the text; a browser cancelled leaves it; a typed name loses its
    // blanks. Cancel of the dialog itself tells the caller to keep its PC.
    dialog.SetPcName("old-pc");
    std::vector<std::string> seen;
    WhenModalOpens([&](QDialog* d) {
        auto pick = [&](std::function<void(QDialog*)> inBrowser) {
            WhenModalOpens(inBrowser);
            Child<QToolButton>(d, "BtnPc")->click();
            seen.push_back(Child<QLineEdit>(d, "EdPc")->text().toStdString());
        };
        pick([&](QDialog* browser) {
            EXPECT_EQ(browser->windowTitle(), "Choisissez l'ordinateur où le service travaille");
            auto* list = Child<QListWidget>(browser, "LbComputers");
            const auto items = list->findItems("picked-pc", Qt::MatchExactly);
            ASSERT_EQ(items.size(), 1);
            list->setCurrentItem(items[0]);
            EXPECT_EQ(Child<QLineEdit>(browser, "EdComputer")->text(), "picked-pc");
            Child<QPushButton>(browser, "BtnOK")->click();
        });
        pick([](QDialog* browser) {
            EXPECT_EQ(Child<QLineEdit>(browser, "EdComputer")->text(), "picked-pc");
            Child<QLineEdit>(browser, "EdComputer")->setText("other");
            Child<QPushButton>(browser, "BtnCancel")->click();
        });
        pick([](QDialog* browser) {
            Child<QLineEdit>(browser, "EdComputer")->setText("   ");
            EXPECT_FALSE(Child<QPushButton>(browser, "BtnOK")->isEnabled());
            Child<QLineEdit>(browser, "EdComputer")->setText("  typed-pc ");
            Child<QPushButton>(browser, "BtnOK")->click();
        });
        Child<QPushButton>(d, "BtnCancel")->click();
    });
    EXPECT_EQ(dialog.exec(), QDialog::Rejected);
    EXPECT_EQ(seen, (std::vector<std::string>{"picked-pc", "picked-pc", "typed-pc"}));
}

} // namespace
