// The dialog's files when the disk will not take them: closing under a
// real file-size limit says so, and the settings and the catalogue of the
// previous run stay whole.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <csignal>
#include <filesystem>
#include <QTreeWidget>
#include "dialog_support.h"
#include "temp_dir.h"

namespace {

// Writes beyond `bytes` fail (EFBIG, the signal ignored) until destruction.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
};

TEST(DialogFiles, AFullDiskAtCloseKeepsTheOldSettingsAndCatalogueWhole) {
    ApplicationFirst application;
    TempDir dir;
    dir.enterWithData();
    const std::string settings = "[Port]                9950\n[CheckName]           1\n";
    const std::string catalogue = "[Pattern]\tA\tData/000.patt\t80\tuse\n[Pattern]\tB\tData/001.patt\t40\tnot_use\n";
    writeFile("Data/config.txt", settings);
    writeFile("Data/pattern_list.txt", catalogue);
    TestDialog dialog;
    dialog.OnInitDialog();
    control<QTreeWidget>(dialog, "1028")->topLevelItem(1)->setCheckState(0, Qt::Checked);
    dialog.show();
    {
        // Each file written whole is longer than this.
        const FileSizeLimit limit(40);
        dialog.close();
    }
    EXPECT_EQ(readFile("Data/config.txt"), settings);
    EXPECT_EQ(readFile("Data/pattern_list.txt"), catalogue);
    ASSERT_EQ(dialog.messages.size(), 2u);
    EXPECT_TRUE(dialog.messages[0].text.contains("Data/pattern_list.txt keeps the patterns it had"))
        << dialog.messages[0].text.toStdString();
    EXPECT_TRUE(dialog.messages[1].text.contains("cannot write Data/config.txt whole: File too large"))
        << dialog.messages[1].text.toStdString();
    EXPECT_TRUE(dialog.messages[1].text.contains("Data/config.txt keeps the settings it had"));
    for (const auto& file : std::filesystem::directory_iterator("Data"))
        EXPECT_EQ(file.path().filename().string().find(".new-"), std::string::npos) << file.path();
}

} // namespace
