#include "console/framework/statusbar.h"

#include <QApplication>
#include <QHelpEvent>
#include <QToolTip>
#include <gtest/gtest.h>

namespace {

// A panel whose text is cut (an operating-system error with its line break, in the last
// panel, which takes what the others leave) shows the whole text as its tooltip; a text that
// fits has none.
TEST(PanelStatusBar, CutPanelsShowTheirWholeTextAsTooltip) {
    TPanelStatusBar bar;
    bar.resize(300, 22);
    const QString error = "System Error.  Code: 53.\r\nThe network path was not found: shop12: "
                          "Host key verification failed.";
    bar.SetPanels({{"Service", 45, Qt::AlignRight}, {"", 20, Qt::AlignLeft, true}, {error}});
    bar.show();
    EXPECT_EQ(bar.PanelToolTip(bar.Panel(0)), "");
    EXPECT_EQ(bar.PanelToolTip(bar.Panel(1)), "");
    EXPECT_EQ(bar.PanelToolTip(bar.Panel(2)), error);

    const QPoint inCut = bar.PanelRect(bar.Panel(2)).center();
    QHelpEvent help(QEvent::ToolTip, inCut, bar.mapToGlobal(inCut));
    QApplication::sendEvent(&bar, &help);
    EXPECT_EQ(QToolTip::text(), error);

    bar.SetPanelText(bar.Panel(2), "Service is running");
    EXPECT_EQ(bar.PanelToolTip(bar.Panel(2)), "");
}

} // namespace
