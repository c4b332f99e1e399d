// The base configuration dialog on a real working copy in a temporary directory, driven
// through its real widgets offscreen.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/ftconfigbase.h"
#include "common/langtext.h"
#include "common/strutil.h"
#include "console/framework/basesvc_configdlg.h"
#include "platform/errors.h"
#include "tests/console/support/consoletest.h"
#include "tests/support/tempdir.h"

namespace {

// A descendant whose checks the test controls.
class TCheckedConfigDlg : public TBaseSvcConfigDlg {
public:
    TCheckedConfigDlg(QWidget* Owner, TUiFacade& Ui) : TBaseSvcConfigDlg(Owner, Ui) {}
    void Validate(TBaseFtConfig&, bool& Failed) override {
        ++ValidateCalls;
        Failed = FailValidate;
    }
    void ControlsToConfig(TBaseFtConfig& C) override {
        TBaseSvcConfigDlg::ControlsToConfig(C);
        if (!RaiseText.empty())
            throw Exception(RaiseText);
    }
    bool FailValidate = false;
    std::string RaiseText;
    int ValidateCalls = 0;
};

const char* const kWorkingCopy = "[General]\n"
                                 "LogDetailed=0\n"
                                 "TimeBetweenActions=%s\n"
                                 "ExactTimeMode=1\n"
                                 "ExactTime=07:00 19:30\n"
                                 "[Directory0]\n"
                                 "TrackDirectory=/data/in\n"
                                 "[Directory5]\n"
                                 "TrackDirectory=/data/five\n"
                                 "[Other]\n"
                                 "Key=kept\n";

class BaseConfigDlg : public ::testing::Test {
protected:
    void SetUp() override {
        savedDir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.Path()); // "cfg_local.ini" and "debug.txt" land here
    }
    void TearDown() override { std::filesystem::current_path(savedDir_); }

    std::unique_ptr<TBaseSvcConfigDlg> Open(const std::string& path,
                                            const std::string& remotePc = "") {
        auto dialog = TBaseSvcConfigDlg::Create<TCheckedConfigDlg>(nullptr, ui_, remotePc, path,
                                                                   &NewFtConfig<TBaseFtConfig>);
        dialog->show();
        return dialog;
    }
    static TCheckedConfigDlg& Checked(const std::unique_ptr<TBaseSvcConfigDlg>& dialog) {
        return static_cast<TCheckedConfigDlg&>(*dialog);
    }
    static void ClickOk(TBaseSvcConfigDlg* dialog) { Child<QPushButton>(dialog, "BtnOK")->click(); }
    static std::unique_ptr<TBaseFtConfig> Saved(const std::string& path) {
        auto config = std::make_unique<TBaseFtConfig>();
        config->LoadFromFile(path);
        return config;
    }

    TempDir dir_;
    TScriptedUi ui_;
    std::filesystem::path savedDir_;
};

TEST_F(BaseConfigDlg, PeriodBroughtIntoRangeAndEditsSavedWithTheRestOfTheFileKept) {
    struct Case {
        const char* stored;
        int shown;
        const char* typed; // nullptr: left as shown
        int saved;
    };
    const Case cases[] = {
        {"5000", 3600, nullptr, 3600}, {"0", 2, nullptr, 2}, {"-7", 2, nullptr, 2},
        {"60", 60, "abc", 2},          {"60", 60, "", 2},    {"60", 60, "99999", 3600}};
    const std::string path = dir_.File("work.ini");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stored) + " / " + (c.typed ? c.typed : "-"));
        WriteTextFile(path, Format(kWorkingCopy, c.stored));
        auto dialog = Open(path);
        auto* period = Child<QSpinBox>(dialog.get(), "SeFreq");
        EXPECT_EQ(period->value(), c.shown);
        if (c.typed)
            period->findChild<QLineEdit*>()->setText(c.typed);
        Child<QLineEdit>(dialog.get(), "EdCentralizationDir")->setText("  /new dir  ");
        Child<QCheckBox>(dialog.get(), "CbLogDetailed")->setChecked(true);
        ClickOk(dialog.get());
        ASSERT_EQ(dialog->result(), QDialog::Accepted);
        EXPECT_TRUE(ui_.Boxes.empty());

        auto saved = Saved(path);
        EXPECT_EQ(saved->TimeBetweenActions, c.saved);
        EXPECT_EQ(saved->GetTrackDirectory(0), "  /new dir  "); // as typed, not trimmed
        EXPECT_TRUE(saved->LogDetailed);
        // Settings without a control keep the loaded values; other sections stay.
        EXPECT_TRUE(saved->ExactTimeMode);
        EXPECT_EQ(saved->ExactTime.GetText(), "07:00 19:30");
        EXPECT_EQ(saved->GetTrackDirectory(5), "/data/five");
        EXPECT_NE(ReadTextFile(path).find("[Other]\nKey=kept\n"), std::string::npos);
    }
}

TEST_F(BaseConfigDlg, CancelEscapeAndCloseLeaveTheWorkingCopyUntouched) {
    const std::string path = dir_.File("work.ini");
    const std::string original = Format(kWorkingCopy, "120");
    WriteTextFile(path, original);
    const std::vector<std::function<void(QDialog*)>> ways = {
        [](QDialog* d) { Child<QPushButton>(d, "BtnCancel")->click(); },
        [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); },
        [](QDialog* d) { d->close(); },
    };
    for (size_t i = 0; i < ways.size(); ++i) {
        SCOPED_TRACE(i);
        auto dialog = TBaseSvcConfigDlg::Create<TCheckedConfigDlg>(nullptr, ui_, "", path,
                                                                   &NewFtConfig<TBaseFtConfig>);
        Child<QLineEdit>(dialog.get(), "EdCentralizationDir")->setText("/elsewhere");
        Child<QSpinBox>(dialog.get(), "SeFreq")->setValue(30);
        WhenModalOpens(ways[i]);
        EXPECT_EQ(dialog->exec(), QDialog::Rejected);
        EXPECT_EQ(ReadTextFile(path), original);
        EXPECT_EQ(Checked(dialog).ValidateCalls, 0);
    }
}

TEST_F(BaseConfigDlg, EmptyPathWorksOnCfgLocalIniInTheCurrentDirectory) {
    auto dialog = Open("");
    EXPECT_EQ(dialog->LocalConfigPath, "cfg_local.ini");
    EXPECT_EQ(Child<QSpinBox>(dialog.get(), "SeFreq")->value(), 60); // no file: the defaults
    Child<QLineEdit>(dialog.get(), "EdCentralizationDir")->setText("/srv/data");
    ClickOk(dialog.get());
    ASSERT_EQ(dialog->result(), QDialog::Accepted);

    const std::string file = dir_.File("cfg_local.ini");
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // the working copy holds passwords
    EXPECT_EQ(Saved(file)->GetTrackDirectory(0), "/srv/data");

    auto again = Open("");
    EXPECT_EQ(Child<QLineEdit>(again.get(), "EdCentralizationDir")->text(), "/srv/data");
}

TEST_F(BaseConfigDlg, FolderButtonOnlyForThisPc) {
    WriteTextFile(dir_.File("work.ini"), Format(kWorkingCopy, "60"));
    EXPECT_FALSE(Child<QToolButton>(Open(dir_.File("work.ini")).get(), "BtnBrowseDir")->isHidden());
    EXPECT_TRUE(
        Child<QToolButton>(Open(dir_.File("work.ini"), "PC2").get(), "BtnBrowseDir")->isHidden());
}

TEST_F(BaseConfigDlg, FailedChecksKeepTheDialogOpenAndSaveNothing) {
    const std::string path = dir_.File("work.ini");
    const std::string original = Format(kWorkingCopy, "60");
    WriteTextFile(path, original);
    auto dialog = Open(path);
    Child<QSpinBox>(dialog.get(), "SeFreq")->setValue(90);

    Checked(dialog).FailValidate = true;
    ClickOk(dialog.get());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(ui_.Boxes.empty()); // the descendant tells the user itself
    EXPECT_EQ(Checked(dialog).ValidateCalls, 1);
    EXPECT_EQ(ReadTextFile(path), original);

    Checked(dialog).FailValidate = false;
    Checked(dialog).RaiseText = "Valeur incorrecte";
    ClickOk(dialog.get());
    EXPECT_TRUE(dialog->isVisible());
    ASSERT_EQ(ui_.Texts("information"), std::vector<std::string>{"Valeur incorrecte"});
    EXPECT_EQ(ReadTextFile(path), original);

    Checked(dialog).RaiseText.clear();
    ClickOk(dialog.get());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(Saved(path)->TimeBetweenActions, 90);
}

TEST_F(BaseConfigDlg, SaveFailureIsShownAndTheEditsStayForAnotherTry) {
    const std::string missingDir = dir_.File("missing");
    const std::string directoryAsFile = dir_.File("isdir.ini");
    std::filesystem::create_directory(directoryAsFile);
    for (const std::string& path : {missingDir + "/work.ini", directoryAsFile}) {
        SCOPED_TRACE(path);
        ui_.Boxes.clear();
        auto dialog = Open(path);
        Child<QLineEdit>(dialog.get(), "EdCentralizationDir")->setText("/typed");
        ClickOk(dialog.get());
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_NE(dialog->result(), QDialog::Accepted);
        std::string unable = Format(langtext::UnableToWrite, path.c_str());
        EXPECT_EQ(ui_.Texts("information"),
                  std::vector<std::string>{
                      Format(langtext::ErrorWritingData, path.c_str(), unable.c_str())});
        EXPECT_EQ(Child<QLineEdit>(dialog.get(), "EdCentralizationDir")->text(), "/typed");
    }

    // Once the directory exists the same dialog saves.
    auto dialog = Open(missingDir + "/work.ini");
    Child<QLineEdit>(dialog.get(), "EdCentralizationDir")->setText("/typed");
    std::filesystem::create_directory(missingDir);
    ClickOk(dialog.get());
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(Saved(missingDir + "/work.ini")->GetTrackDirectory(0), "/typed");
}

} // namespace
