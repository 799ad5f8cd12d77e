#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <unordered_map>
#include <vector>

#include <QAbstractTableModel>
#include <QStringList>

#include "app/LocaleFormats.h"
#include "store/LotBrowser.h"

// The lots of the browser's table: one row a lot, the results file's columns and first seen and
// last changed. It holds only the ids of the lots the filter takes; the rows themselves are
// fetched in blocks as they come into view, so that a million lots cost 8 MB, not a copy of the
// store.
namespace korvalot::app::browser {

class LotTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kBlockRows = 100;
    // The blocks kept; beyond them the cache starts over with what is in view.
    static constexpr std::size_t kKeptBlocks = 64;

    // fetch(first row, ids) asks for the rows of a block; sort(column, descending) for the lots
    // in another order.
    LotTableModel(LocaleFormats formats,
                  std::function<void(int firstRow, std::vector<std::int64_t> ids)> fetch,
                  std::function<void(store::LotOrder order)> sort, QObject* parent = nullptr);

    // The lots of a new query; every row fetched before is dropped.
    void SetLotIds(std::vector<std::int64_t> ids);
    // The rows of a block asked for by fetch.
    void SetRows(int firstRow, const std::vector<std::int64_t>& ids,
                 const std::vector<store::BrowsedLot>& lots);
    // Nothing for a row not fetched yet.
    const store::BrowsedLot* LotAt(int row) const;
    std::int64_t LotIdAt(int row) const;
    const std::vector<std::int64_t>& LotIds() const { return ids_; }

    static QStringList ColumnNames();
    static store::LotColumn ColumnOf(int column);
    QString Text(const store::BrowsedLot& lot, int column) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

private:
    struct Block {
        std::vector<std::optional<store::BrowsedLot>> rows;  // by row in the block
    };
    void Request(int block) const;

    LocaleFormats formats_;
    std::function<void(int, std::vector<std::int64_t>)> fetch_;
    std::function<void(store::LotOrder)> sort_;
    std::vector<std::int64_t> ids_;
    mutable std::unordered_map<int, Block> blocks_;
    mutable std::set<int> requested_;
};

}  // namespace korvalot::app::browser
