// A watch's check over a store of 1,000,000 lots (100,000 trades of 10 lots), of which one run
// since the last check added 1,000 trades and changed 10,000 prices and 2,000 outcomes: the
// news of a watch with words, one with regions and a threshold, and one that takes every lot.
// The store is written straight in SQL, once (KORVALOT_BENCH_DIR, else the temporary folder).
#include <benchmark/benchmark.h>

#include <filesystem>

#include "store/Database.h"
#include "store/Schema.h"
#include "watch/WatchNews.h"

namespace korvalot::watch {
namespace {

namespace fs = std::filesystem;
constexpr int kTrades = 100000;
constexpr int kLotsEach = 10;

// The run after the watches' last check: what it changed and added.
void AddRun(store::Database& db) {
    db.Execute(
        "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 10000) "
        "INSERT INTO changes(trade_id, lot_position, field, old_value, new_value, run_id, "
        "changed_at) SELECT k * 9 + 1, k % 10, 'Итоговая цена', 'null', (k % 1000 + 1) * 5000, "
        "2, '2026-06-02T10:00:00' FROM n;"
        "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 2000) "
        "INSERT INTO changes(trade_id, lot_position, field, old_value, new_value, run_id, "
        "changed_at) SELECT k * 45 + 1, k % 10, 'Победитель наименование', '', 'ООО Победитель', "
        "2, '2026-06-02T10:00:00' FROM n;"
        "UPDATE lots SET final_price = (id % 1000 + 1) * 5000, final_price_value = (id % 1000 + "
        "1) * 5000 WHERE id IN (SELECT trade_id * 1048576 + lot_position FROM changes WHERE "
        "field = 'Итоговая цена');"
        "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 1000) "
        "INSERT INTO trades(id, guid, register_url, trade_type, region, region_code, number, "
        "date_publish, debtor_name, debtor_inn, court_name, results_date, decimal_separator, "
        "first_seen, first_run, last_seen, last_run) SELECT 100000 + k, 'new-' || k, "
        "'https://register.test', 'OpenAuction', 'Регион', '77', k, '', 'ООО Новое', '', '', '', "
        "'.', '2026-06-02T10:00:00', 2, '2026-06-02T10:00:00', 2 FROM n;"
        "INSERT INTO lots(id, trade_id, position, property_type, description, start_price, "
        "final_price, winner_name, winner_inn, first_seen) SELECT id * 1048576, id, 0, '', "
        "'Квартира новая', '100', 'null', '', '', '2026-06-02T10:00:00' FROM trades WHERE id > "
        "100000;");
}

fs::path BenchStore() {
    const char* dir = std::getenv("KORVALOT_BENCH_DIR");
    const fs::path path =
        (dir != nullptr ? fs::path(dir) : fs::temp_directory_path()) /
        ("korvalot-watch-bench-v" + std::to_string(store::kSchemaVersion) + ".sqlite");
    if (fs::exists(path))
        return path;
    const fs::path made = path.string() + ".new";
    fs::remove(made);
    {
        store::Database db(made, store::Database::Mode::ReadWriteCreate);
        store::Migrate(db);
        store::Transaction transaction(db);
        db.Execute(
            "INSERT INTO runs(id, program, kind, started_at) VALUES (1, 'b', 'harvest', "
            "'2026-06-01T10:00:00'), (2, 'b', 'refresh', '2026-06-02T10:00:00');"
            "WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < " +
            std::to_string(kTrades) +
            ") INSERT INTO trades(id, guid, register_url, trade_type, region, region_code, "
            "number, date_publish, debtor_name, debtor_inn, court_name, results_date, "
            "decimal_separator, first_seen, first_run, last_seen, last_run, trade_date_iso) "
            "SELECT k, 'guid-' || k, 'https://register.test', 'OpenAuction', 'Регион ' || (k % "
            "85), (k % 85) + 1, k, '01.06.2026 10:00', 'ООО Должник ' || k, '77' || k, 'Суд', "
            "'15.07.2026 10:00', '.', '2026-06-01T10:00:00', 1, '2026-06-01T10:00:00', 1, "
            "'2026-06-15' FROM n;"
            "WITH RECURSIVE n(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM n WHERE k < " +
            std::to_string(kTrades * kLotsEach - 1) +
            ") INSERT INTO lots(id, trade_id, position, property_type, description, "
            "start_price, start_price_value, final_price, final_price_value, winner_name, "
            "winner_inn, first_seen) SELECT (k / 10 + 1) * " +
            std::to_string(store::kLotsPerTrade) +
            " + k % 10, k / 10 + 1, k % 10, '0101', CASE k % 50 WHEN 0 THEN 'Квартира, 54 "
            "кв.м.' ELSE 'Автомобиль легковой' END || ' номер ' || k, (k % 1000 + 1) * 10000, "
            "(k % 1000 + 1) * 10000, 'null', NULL, '', '', '2026-06-01T10:00:00' FROM n;"
            "INSERT INTO lot_words(lot_words) VALUES ('rebuild');"
            "UPDATE words_indexed SET up_to = " +
            std::to_string(kTrades) + ";");
        AddRun(db);
        transaction.Commit();
    }
    fs::rename(made, path);
    return path;
}

void BM_CheckAfterARun(benchmark::State& state) {
    store::Database db(BenchStore(), store::Database::Mode::ReadWrite);
    Watch watch;
    watch.name = "bench";
    switch (state.range(0)) {
        case 0:
            watch.filter.words = {"квартира"};
            break;
        case 1:
            watch.filter.regionCodes = {"77", "50"};
            watch.priceBelow = 1000000;
            break;
        default:
            watch.dropPercent = 10;
            break;
    }
    const Cut before{kTrades, 0};
    std::size_t items = 0;
    for (auto _ : state) {
        NewsReader reader(db);
        items = reader.Since(watch, before).size();
    }
    state.counters["items"] = static_cast<double>(items);
}
BENCHMARK(BM_CheckAfterARun)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace korvalot::watch

BENCHMARK_MAIN();
