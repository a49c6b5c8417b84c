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
      shownRevision_(state.revision) {}

void FileTableModel::Sync() {
  if (state_.rowsRevision != shownRows_) {
    beginResetModel();
    shownRows_ = state_.rowsRevision;
    shownRevision_ = state_.revision;
    endResetModel();
    return;
  }
  if (state_.revision == shownRevision_) return;
  // Only the rows changed since the last draw: a range over the whole table
  // would cost the view a walk over every row on each progress report.
  const std::uint64_t drawn = shownRevision_;
  shownRevision_ = state_.revision;
  for (size_t i = 0; i < state_.rowChangedAt.size(); ++i) {
    if (state_.rowChangedAt[i] <= drawn) continue;
    const int row = static_cast<int>(i);
    emit dataChanged(index(row, 0), index(row, kColumns - 1), {Qt::DisplayRole});
  }
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
