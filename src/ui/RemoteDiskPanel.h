// The "Remote Disk Server" panel of the Disks page: the list of the server's
// client sessions, three text lines each, drawn from the server module when
// they are painted, and the text of those lines.
#pragma once

#include <QAbstractListModel>
#include <QStringList>
#include <QStyledItemDelegate>
#include <chrono>
#include <cstdint>
#include <functional>

class TRmtDskSession;

// The four bytes of an IPv4 address in decimal, the byte at the lowest address
// first, joined by "." (an address in network order reads as usual).
QString IpAddressToText(uint32_t Address);

// "Tue Dec 08 @ 07:05:09": abbreviated day and month names as the locale gives
// them, the two-digit day of the month and the time, in local time.
QString RemoteDiskTimeText(std::chrono::system_clock::time_point Time);

// The three lines of a session:
//   "Client: 192.168.1.20:1234  Disk: 7 RW"
//   "File name: /path/DEMO.cpmdsk"
//   "Last used: Tue Dec 08 @ 07:05:09"
// The client's port is shown as the number it uses (the session keeps it in
// network order).
QStringList RemoteDiskSessionLines(const TRmtDskSession& Session);

// A list of Count items without data: the items are drawn from the sessions.
class TRemoteDiskListModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  using QAbstractListModel::QAbstractListModel;
  int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
  void SetCount(int Count);
  int Count() const { return FCount; }

 private:
  int FCount = 0;
};

// Draws item i as the lines Lines(i) gives, one line height apart.
class TRemoteDiskListDelegate final : public QStyledItemDelegate {
  Q_OBJECT

 public:
  static constexpr int LinesPerItem = 3;

  explicit TRemoteDiskListDelegate(QObject* Parent = nullptr);
  std::function<QStringList(int Index)> Lines;
  void SetLineHeight(int Height) { FLineHeight = Height; }
  int LineHeight() const { return FLineHeight; }

  void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;
  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;

 private:
  int FLineHeight = 16;
};
