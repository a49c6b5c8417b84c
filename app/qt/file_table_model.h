// ListView1's rows as a Qt model over the core's state: the view asks only
// for the cells it paints, so a list of 100,000 rows costs what its visible
// rows cost, and nothing is copied out of the state.
#pragma once

#include <QAbstractTableModel>

#include "app/window_state.h"

namespace vmrk {

class FileTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit FileTableModel(const WindowState& state, QObject* parent = nullptr);

  // Tells the view what changed since the last call: a new set of rows, or
  // the texts of rows already shown. Does nothing when nothing changed.
  void Sync();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  const WindowState& state_;
  std::uint64_t shownRows_ = 0;
  std::uint64_t shownRevision_ = 0;
};

}  // namespace vmrk
