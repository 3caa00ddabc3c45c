// The "Select Path" dialog as the disk manager's export of several files opens
// it: the folder tree opens on the export folder, expanded down to it, with the
// folder selected and scrolled into view among many others, so that OK alone
// exports there.
#include <QAction>
#include <QFileSystemModel>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <set>
#include <vector>

#include "DiskManagerTestRig.h"

namespace {

using korvel_test::Bytes;
using korvel_test::PutCpmFile;
using korvel_test::ReadBytes;
using korvel_test::TDiskManagerRig;
using korvel_test::TMainWindowRig;

// The folders on the way to Folder below the root, as the tree must load them
// to show it.
std::vector<QString> FoldersOnTheWay(const std::filesystem::path& Folder) {
  std::vector<QString> Folders;
  for (std::filesystem::path Step = Folder.parent_path(); Step.has_relative_path(); Step = Step.parent_path())
    Folders.push_back(QString::fromStdString(Step.string()));
  return Folders;
}

// The tree shows Folder: the current item, selected, every folder above it
// expanded, and its row inside the visible part of the tree (a long name may
// run past the right edge).
bool ShowsFolder(const TSelPathDlg& Dialog, const std::filesystem::path& Folder) {
  QTreeView* Tree = Dialog.ShellTreeView1();
  const auto* Model = qobject_cast<const QFileSystemModel*>(Tree->model());
  const QModelIndex Current = Tree->currentIndex();
  if (Model == nullptr || !Current.isValid() || Model->filePath(Current).toStdString() != Folder.string()) return false;
  if (!Tree->selectionModel()->isSelected(Current)) return false;
  for (QModelIndex Parent = Current.parent(); Parent.isValid(); Parent = Parent.parent())
    if (!Tree->isExpanded(Parent)) return false;
  const QRect Item = Tree->visualRect(Current);
  const QRect View = Tree->viewport()->rect();
  return Item.isValid() && Item.top() >= View.top() && Item.bottom() <= View.bottom() && Item.left() < View.right();
}

}  // namespace

TEST(DiskManagerSelectPath, TheExportOfSeveralFilesOpensTheTreeOnTheExportFolder) {
  TDiskManagerRig Rig;
  TMainOrvanta& Window = Rig.Window();
  const auto Disk = Rig.MakeDisk("Export.cpmdsk");
  PutCpmFile(Disk, "FIRST.TXT", Bytes("first\r\n"));
  PutCpmFile(Disk, "SECOND.TXT", Bytes("second\r\n"));
  Rig.Open(Disk);
  ASSERT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();

  // The export folder among many others, listed after all of them.
  for (int Index = 0; Index < 80; ++Index)
    std::filesystem::create_directories(Rig.File("folders/folder" + std::to_string(100 + Index)));
  const auto Exports = Rig.File("folders/zz exports");
  std::filesystem::create_directories(Exports);

  // One file exported there through the save dialog makes it the export folder.
  Rig.Select("FIRST.TXT");
  Rig.Rig.Dialogs.FileAnswers.push_back((Exports / "first.txt").string());
  Window.DM_ExportTextFileAct->trigger();
  ASSERT_EQ(Window.ExportFolder, Exports.string() + "/");

  // Both files: "Select Path" opens on that folder, and OK alone exports there.
  // The tree loads its folders in the background: the folder is looked for once
  // every folder on the way has been read and sorted into the tree.
  auto* Model = qobject_cast<QFileSystemModel*>(Window.DiskManager->SelPathDlg->ShellTreeView1()->model());
  ASSERT_NE(Model, nullptr);
  std::set<QString> Loaded;
  QObject::connect(Model, &QFileSystemModel::directoryLoaded, Model, [&Loaded](const QString& Path) {
    Loaded.insert(Path);
  });
  const auto AllLoaded = [&] {
    for (const QString& Folder : FoldersOnTheWay(Exports))
      if (Loaded.count(Folder) == 0) return false;
    return true;
  };
  bool Shown = false;
  Rig.Rig.Dialogs.DialogAnswers.push_back([&](QDialog& Dialog) {
    auto& Select = dynamic_cast<TSelPathDlg&>(Dialog);
    EXPECT_EQ(Select.windowTitle(), QStringLiteral("Select Export Folder"));
    EXPECT_TRUE(QTest::qWaitFor(AllLoaded, 20000)) << Loaded.size() << " folders read";
    TMainWindowRig::Settle();
    // Other programs' files come and go in the host's temporary folder, so the
    // rows above may still move: the tree follows them.
    Shown = QTest::qWaitFor([&] { return ShowsFolder(Select, Exports); }, 20000);
    EXPECT_TRUE(Shown) << "the tree shows " << Select.GetPath().toStdString() << " at y = "
                       << Select.ShellTreeView1()->visualRect(Select.ShellTreeView1()->currentIndex()).y();
    EXPECT_EQ(Select.PathLabel()->text().toStdString(), Exports.string());
    korvel_test::SaveScreenshot(korvel_test::Rendered(Select), "DiskManager-select-path-opens-on-export-folder");
    ASSERT_TRUE(Select.OkButton()->isEnabled());
    QTest::mouseClick(Select.OkButton(), Qt::LeftButton);
  });
  Rig.Select({{"FIRST.TXT", 0}, {"SECOND.TXT", 0}});
  Window.DM_ExportBinaryFileAct->trigger();
  ASSERT_TRUE(Rig.Rig.Dialogs.DialogAnswers.empty());
  EXPECT_TRUE(Shown);
  EXPECT_EQ(ReadBytes(Exports / "FIRST.TXT"), Bytes(std::string("first\r\n") + std::string(121, '\x1A')));
  EXPECT_EQ(ReadBytes(Exports / "SECOND.TXT"), Bytes(std::string("second\r\n") + std::string(120, '\x1A')));
  EXPECT_EQ(Window.ExportFolder, Exports.string() + "/");
  EXPECT_EQ(Rig.MessageCount(), 0u) << Rig.LastMessage();
}
