#include "app/browser/LotTableModel.h"

#include <QDateTime>

#include "crawl/ResultsFile.h"
#include "store/StoreExport.h"

namespace korvalot::app::browser {
namespace {

constexpr int kColumns = 16;

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

LotTableModel::LotTableModel(LocaleFormats formats,
                             std::function<void(int, std::vector<std::int64_t>)> fetch,
                             std::function<void(store::LotOrder)> sort, QObject* parent)
    : QAbstractTableModel(parent),
      formats_(std::move(formats)),
      fetch_(std::move(fetch)),
      sort_(std::move(sort)) {}

QStringList LotTableModel::ColumnNames() {
    QStringList names;
    for (QString name : FromUtf8(crawl::ResultsFile::kHeader).split(u';')) {
        name.remove(u'"');
        names << name;
    }
    names << QString::fromUtf8(store::kFirstSeenColumn)
          << QString::fromUtf8(store::kLastChangedColumn);
    return names;
}

store::LotColumn LotTableModel::ColumnOf(int column) {
    return static_cast<store::LotColumn>(column + 1);
}

void LotTableModel::SetLotIds(std::vector<std::int64_t> ids) {
    beginResetModel();
    ids_ = std::move(ids);
    blocks_.clear();
    requested_.clear();
    endResetModel();
}

void LotTableModel::SetRows(int firstRow, const std::vector<std::int64_t>& ids,
                            const std::vector<store::BrowsedLot>& lots) {
    const int block = firstRow / kBlockRows;
    if (!requested_.contains(block))
        return;  // asked for before the ids changed
    requested_.erase(block);
    if (blocks_.size() >= kKeptBlocks)
        blocks_.clear();
    Block& rows = blocks_[block];
    rows.rows.assign(ids.size(), std::nullopt);
    // The lots come in the order asked for, without those the store no longer holds.
    std::size_t next = 0;
    for (std::size_t k = 0; k < ids.size() && next < lots.size(); ++k) {
        if (lots[next].lotId == ids[k])
            rows.rows[k] = lots[next++];
    }
    const int last = std::min(firstRow + static_cast<int>(ids.size()), rowCount()) - 1;
    if (last >= firstRow)
        Q_EMIT dataChanged(index(firstRow, 0), index(last, kColumns - 1));
}

const store::BrowsedLot* LotTableModel::LotAt(int row) const {
    const auto found = blocks_.find(row / kBlockRows);
    if (found == blocks_.end())
        return nullptr;
    const std::size_t k = static_cast<std::size_t>(row % kBlockRows);
    if (k >= found->second.rows.size() || !found->second.rows[k])
        return nullptr;
    return &*found->second.rows[k];
}

std::int64_t LotTableModel::LotIdAt(int row) const {
    return row >= 0 && row < rowCount() ? ids_[static_cast<std::size_t>(row)] : 0;
}

void LotTableModel::Request(int block) const {
    if (requested_.contains(block))
        return;
    requested_.insert(block);
    const std::size_t first = static_cast<std::size_t>(block) * kBlockRows;
    const std::size_t end = std::min(ids_.size(), first + kBlockRows);
    fetch_(static_cast<int>(first),
           std::vector<std::int64_t>(ids_.begin() + first, ids_.begin() + end));
}

int LotTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(ids_.size());
}

int LotTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QString LotTableModel::Text(const store::BrowsedLot& lot, int column) const {
    const crawl::ResultRow& row = lot.row;
    // Dates as dates and prices as numbers, in the operator's regional formats; a text that
    // is neither stays as the results file has it.
    const auto date = [this](const std::optional<std::string>& iso, const std::string& text) {
        if (!iso || iso->empty())
            return QString::fromStdString(text);
        const QString value = QString::fromStdString(*iso);
        if (value.size() > 10) {
            const QDateTime moment = QDateTime::fromString(value.left(16), Qt::ISODate);
            if (moment.isValid())
                return moment.toString(formats_.ShortDateFormat() + QStringLiteral(" hh:mm"));
        }
        const QDate day = QDate::fromString(value.left(10), Qt::ISODate);
        return day.isValid() ? formats_.FormatDate(day) : QString::fromStdString(text);
    };
    const auto price = [this](const std::optional<double>& value, const std::string& text) {
        return value ? formats_.Locale().toString(*value, 'f', 2) : QString::fromStdString(text);
    };
    switch (ColumnOf(column)) {
        case store::LotColumn::CardLink:
            return QString::fromStdString(lot.cardLink);
        case store::LotColumn::Region:
            return QString::fromStdString(row.region);
        case store::LotColumn::Number:
            return QString::fromStdString(row.number);
        case store::LotColumn::DatePublish:
            return date(lot.datePublish, row.datePublish);
        case store::LotColumn::DebtorName:
            return QString::fromStdString(row.debtorName);
        case store::LotColumn::DebtorInn:
            return QString::fromStdString(row.debtorInn);
        case store::LotColumn::PropertyType:
            return QString::fromStdString(row.propertyType);
        case store::LotColumn::LotDescription:
            return QString::fromStdString(row.lotDescription);
        case store::LotColumn::CourtName:
            return QString::fromStdString(row.courtName);
        case store::LotColumn::StartPrice:
            return price(lot.startPrice, row.startPrice);
        case store::LotColumn::CurrentPrice:
            return price(lot.currentPrice, row.currentPrice);
        case store::LotColumn::ResultsDate:
            return date(lot.resultsDate, row.resultsDate);
        case store::LotColumn::WinnerName:
            return QString::fromStdString(row.winnerName);
        case store::LotColumn::WinnerInn:
            return QString::fromStdString(row.winnerInn);
        case store::LotColumn::FirstSeen:
            return date(lot.firstSeen, lot.firstSeen);
        case store::LotColumn::LastChanged:
            return date(lot.lastChanged, lot.lastChanged);
        case store::LotColumn::Lot:
            break;
    }
    return {};
}

QVariant LotTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const store::BrowsedLot* lot = LotAt(index.row());
    if (lot == nullptr) {
        if (role == Qt::DisplayRole)
            Request(index.row() / kBlockRows);
        return {};
    }
    const store::LotColumn column = ColumnOf(index.column());
    switch (role) {
        case Qt::DisplayRole:
            return Text(*lot, index.column());
        case Qt::ToolTipRole:
            // The long texts that a column's width cuts.
            if (column == store::LotColumn::LotDescription ||
                column == store::LotColumn::DebtorName || column == store::LotColumn::CourtName)
                return Text(*lot, index.column());
            return {};
        case Qt::TextAlignmentRole:
            if (column == store::LotColumn::StartPrice || column == store::LotColumn::CurrentPrice)
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        default:
            return {};
    }
}

QVariant LotTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    static const QStringList names = ColumnNames();
    return section >= 0 && section < names.size() ? names[section] : QVariant();
}

void LotTableModel::sort(int column, Qt::SortOrder order) {
    // The worker sorts: the model never holds all the rows.
    store::LotOrder lotOrder;
    if (column >= 0 && column < kColumns) {
        lotOrder.column = ColumnOf(column);
        lotOrder.descending = order == Qt::DescendingOrder;
    }
    sort_(lotOrder);
}

}  // namespace korvalot::app::browser
