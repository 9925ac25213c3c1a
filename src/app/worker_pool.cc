#include "app/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "app/conversion_chain.h"
#include "app/progress.h"
#include "app/work_units.h"
#include "base/exit_status.h"
#include "base/interrupt.h"
#include "base/log.h"
#include "fs/fs_lock.h"
#include "output/output_journals.h"
#include "output/output_naming.h"

namespace {

// Unwrapped containers the plan keeps for the conversion at most, besides
// what the workers unwrap into themselves.
constexpr uint64_t kUnwrapCacheBytes = uint64_t{128} << 20;

// Half of the open-file limit goes to the CSV files (shared among the
// workers); the other half holds the process's own descriptors and those of
// each worker: its input, a container's spill file, its journal and a folder
// being synced.
constexpr size_t kProcessDescriptors = 8;
constexpr size_t kWorkerDescriptors = 4;

// The worker threads the open-file limit allows, at least 1.
size_t workersWithinOpenFileLimit() {
  const size_t half = cWriterSet_halfOpenFileLimit();
  return half > kProcessDescriptors + kWorkerDescriptors
             ? (half - kProcessDescriptors) / kWorkerDescriptors
             : 1;
}

struct cWorker {
  std::unique_ptr<cConversionChain> chain;
  int32_t status = 0;
  bool holdsLast = false;
  uint64_t unfinished = 0;  // open transport sessions after the unit that holds the last file
};

class cPool {
 public:
  // `spare` counts the processors without a worker; each worker adds its own
  // when no unit is left for it, and the workers still converting take them
  // for writing threads (see cDecoderOptions::spareProcessors).
  cPool(const cWorkPlan& plan, std::vector<cWorker>& workers, std::atomic<uint32_t>& spare)
      : plan_(plan), workers_(workers), queue_(plan.units), spare_(spare) {}

  void run() {
    std::vector<std::thread> threads;
    for (size_t i = 1; i < workers_.size(); ++i) threads.emplace_back([this, i] { work(workers_[i]); });
    work(workers_[0]);
    for (std::thread& t : threads) t.join();
  }
  // A signal kept units from starting.
  bool stopped() const { return stopped_; }

 private:
  void work(cWorker& worker) {
    cConversionChain& chain = *worker.chain;
    for (size_t unit = queue_.next(cUnitQueue::kNone); unit != cUnitQueue::kNone;
         unit = queue_.next(unit)) {
      if (cInterrupt_requested()) {
        stopped_ = true;
        break;
      }
      convertUnit(worker, plan_.units[unit]);
      if (chain.reader->interrupted()) break;
    }
    // Commits the last input's rows and closes the files: a write error
    // reaches the status here too.
    if (!chain.decoder->closeWriters() || chain.decoder->hadWriteError())
      worker.status |= kExitConversion;
    spare_.fetch_add(1);
  }

  static void convertUnit(cWorker& worker, const cWorkUnit& unit) {
    cLogReader& reader = *worker.chain->reader;
    for (const cWorkFile& file : unit.files) {
      const cFileIdentity& p = file.previous;
      reader.setPreviousFile(p.serialNumber, p.session, p.split);
      reader.setUnreadWhilePlanning(file.unread);
      worker.status |= reader.process({file.path});
      if (reader.interrupted()) return;
    }
    if (unit.holdsLast) {
      worker.holdsLast = true;
      worker.unfinished = worker.chain->tp->getStatistics().unfinished;
    }
  }

  const cWorkPlan& plan_;
  std::vector<cWorker>& workers_;
  cUnitQueue queue_;
  std::atomic<uint32_t>& spare_;
  std::atomic<bool> stopped_{false};
};

// One chain per worker, each with its journal and its share of the limits.
bool makeChains(const cLogReaderCLI& cli, std::vector<cWorker>& workers,
                std::atomic<uint32_t>* spare) {
  const uint32_t n = static_cast<uint32_t>(workers.size());
  cDecoderOptions decoderOptions;
  decoderOptions.noAppendRoot = cli.options.noAppendRoot;
  decoderOptions.concat = cli.concat;
  decoderOptions.pgnSrcMerge = cli.pgnSrcMerge;
  decoderOptions.pgnDstMerge = cli.pgnDstMerge;
  decoderOptions.maxOpenFiles = std::max<size_t>(1, cWriterSet_defaultMaxOpenFiles() / n);
  cLogReaderOptions readerOptions = cWorkUnits_share(cli.options, n);
  // Processors without a unit (fewer units than -j allows, or none left):
  // a worker still converting hands its rows to a thread of their own, a
  // two-stage pipeline.
  decoderOptions.spareProcessors = spare;
  for (uint32_t i = 0; i < n; ++i) {
    // One worker of an unsharded run keeps the journal of a plain run.
    decoderOptions.journalName =
        n == 1 && !cli.shard.sharded()
            ? std::string()
            : cOutputJournals_workerName(cli.shard.index, cli.shard.count, i);
    workers[i].chain = cConversionChain_ctor(cli, decoderOptions, readerOptions);
    if (!workers[i].chain) return false;
  }
  return true;
}

void addCounts(cWorker& worker, cRunCounts& counts) {
  const cConversionChain& chain = *worker.chain;
  counts.files += chain.reader->files();
  counts.messages += chain.reader->messages();
  counts.bytes += chain.reader->bytes();
  const cBusLayerTpStatistics& tp = chain.tp->getStatistics();
  counts.tpSuccessful += tp.successful;
  counts.tpFailed += tp.failed;
  if (worker.holdsLast) counts.tpUnfinished = worker.unfinished;
  const cDecoderStatistics& w = chain.decoder->getStatistics();
  counts.writerFiles += w.files;
  counts.writerMessages += w.messages;
  counts.writerSignals += w.signals;
}

// The progress line of a parallel run: totals from the plan, each worker
// reporting through its own observer.
std::unique_ptr<cProgress> progressOf(const cWorkPlan& plan, std::vector<cWorker>& workers) {
  cInputTotals totals;
  for (const cWorkUnit& unit : plan.units) {
    totals.files += unit.files.size();
    totals.bytes += unit.bytes;
  }
  auto progress = std::make_unique<cProgress>(2, totals, nullptr);
  for (size_t i = 0; i < workers.size(); ++i) {
    const cDecoder& rows = *workers[i].chain->decoder;
    workers[i].chain->reader->setObserver(progress->worker(i, [&rows] {
      return rows.getStatistics().messages + rows.pendingRows();
    }));
  }
  return progress;
}

}  // namespace

cPoolRun cWorkerPool_convert(const cLogReaderCLI& cli) {
  cPoolRun run;
  std::unique_ptr<cFSLock> lock;
  if (!cOutputJournals_lock(*cli.outputFs(), cli.shard.index, cli.shard.count, &lock) ||
      !cOutputJournals_recover(*cli.outputFs(), cli.shard.index, cli.shard.count)) {
    run.status = kExitConversion;
    return run;
  }
  cInterrupt_install();
  cUnwrapCache unwrapped(kUnwrapCacheBytes);
  // Planning reads the files' identities with no more threads than may
  // convert, each holding an input and its unwrapped bytes open.
  const size_t allowed = workersWithinOpenFileLimit();
  const auto readers = static_cast<uint32_t>(std::min<size_t>(cli.jobs, allowed));
  const cWorkPlan plan =
      cWorkUnits_plan(cli.inputFs(), cli.options, cli.inputs, readers, cli.shard, &unwrapped);
  if (cli.shard.sharded())
    LOG_INFO("Shard %u of %u: %zu of %zu work units", cli.shard.index, cli.shard.count,
             plan.units.size(), plan.allUnits);
  size_t n = std::clamp<size_t>(plan.units.size(), 1, cli.jobs);
  if (n > allowed) {
    LOG_INFO("Worker threads limited to %zu by the open-file limit (ulimit -n)", allowed);
    n = allowed;
  }
  LOG_DEBUG("%zu work units, %zu worker threads, %llu bytes of containers unwrapped ahead",
            plan.units.size(), n, static_cast<unsigned long long>(unwrapped.bytesKept()));
  std::atomic<uint32_t> spare{static_cast<uint32_t>(cli.jobs - n)};
  std::vector<cWorker> workers(n);
  if (!makeChains(cli, workers, &spare)) {
    run.status = kExitConversion;
    return run;
  }
  for (cWorker& worker : workers) worker.chain->reader->setUnwrapCache(&unwrapped);
  run.started = true;
  std::unique_ptr<cProgress> progress;
  if (cProgress_wanted(cli.options.nonInteractive)) progress = progressOf(plan, workers);
  cPool pool(plan, workers, spare);
  if (!plan.interrupted) pool.run();
  if (progress) progress->erase();
  run.status = plan.walkStatus | cli.startStatus;
  run.interrupted = plan.interrupted || pool.stopped();
  for (cWorker& worker : workers) {
    run.status |= worker.status;
    run.interrupted = run.interrupted || worker.chain->reader->interrupted();
    addCounts(worker, run.counts);
    run.report.add(*worker.chain->reader, worker.chain->decoder->tally());
  }
  run.report.addFailures(plan.walkFailures);
  return run;
}
