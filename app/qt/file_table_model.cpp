#include "app/qt/file_table_model.h"

#include <algorithm>

#include "app/window_layout.h"

namespace vmrk {
namespace {

constexpr int kColumns = 5;

Qt::Alignment ColumnAlignment(int column) {
  switch (FileTableColumns()[static_cast<size_t>(column)].align) {
    case TextAlign::kCenter: return Qt::AlignHCenter | Qt::AlignVCenter;
    case TextAlign::kRight: return Qt::AlignRight | Qt::AlignVCenter;
    case TextAlign::kLeft: break;
  }
  return Qt::AlignLeft | Qt::AlignVCenter;
}

}  // namespace

FileTableModel::FileTableModel(const WindowState& state, QObject* parent)
    : QAbstractTableModel(parent),
      state_(state),
      shownRows_(state.rowsRevision),
      shownRevision_(state.revision),
      shownCurFile_(state.CurFile) {}

void FileTableModel::Sync() {
  if (state_.rowsRevision != shownRows_) {
    beginResetModel();
    shownRows_ = state_.rowsRevision;
    shownRevision_ = state_.revision;
    shownCurFile_ = state_.CurFile;
    endResetModel();
    return;
  }
  if (state_.revision == shownRevision_) return;
  shownRevision_ = state_.revision;
  // Only the rows the transfer passed over since the last draw can have
  // changed; a range over the whole table would cost the view a walk over
  // every row on each progress report.
  int first = std::max(1, std::min(shownCurFile_, state_.CurFile));
  int last = std::min(rowCount(), std::max(shownCurFile_, state_.CurFile));
  shownCurFile_ = state_.CurFile;
  if (first <= last) emit dataChanged(index(first - 1, 0), index(last - 1, kColumns - 1), {Qt::DisplayRole});
}

int FileTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(state_.rows.size());
}

int FileTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant FileTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || static_cast<size_t>(index.row()) >= state_.rows.size()) return {};
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(ColumnAlignment(index.column()));
  if (role != Qt::DisplayRole) return {};
  const FileRow& row = state_.rows[static_cast<size_t>(index.row())];
  const std::string* cells[] = {&row.number, &row.location, &row.size, &row.modified, &row.status};
  return QString::fromStdString(*cells[index.column()]);
}

QVariant FileTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) return {};
  if (role == Qt::DisplayRole) return QString::fromUtf8(FileTableColumns()[static_cast<size_t>(section)].header);
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(ColumnAlignment(section));
  return {};
}

}  // namespace vmrk
