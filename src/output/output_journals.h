// The output journals of one output folder when several writers convert into
// it at the same time: the worker threads of one process (-j) and the
// processes of a sharded conversion (--shard K/N), maybe on other machines
// sharing the folder.
//
// Each writer set keeps its own journal (output/output_journal.h):
//
//   .lograven-journal               one worker, no shards (as always)
//   .lograven-journal-<K>of<N>-w<i>  worker i of shard K of N (no shards:
//                                    shard 0 of 1)
//
// Before a run converts anything it recovers the journals it owns, the ones
// an interrupted run of the same work left behind:
//
//   - without shards (N = 1) the run owns the whole folder: it recovers the
//     plain journal and every worker journal, of any shard and worker count;
//   - shard K of N recovers "-<K>of<N>-w<i>" for every worker i, whatever -j
//     the earlier run had; the journals of the other shards of N are left
//     alone (that shard may be converting right now);
//   - a journal of another shard count, or the plain journal, found by a
//     sharded run stops it before it converts anything: the files it names
//     may belong to this shard's work, and taking them back later would undo
//     what this run writes.  Recover it first by running the earlier shards
//     again, or one run without --shard.
//
// Shards of one N never write the same file, so the journals of running
// shards never name the same file either.
//
// Runs that would take each other's journals for an interrupted run's must
// not convert into one folder at the same time (a restarted job while its
// first run still goes on): each run holds a lock on ".lograven-lock" in the
// folder while it converts.  A run without shards locks the whole file, shard
// K of N one byte of its own (at N(N-1)/2 + K), so shards run side by side
// while a second run of one shard, or a run without shards, is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class cFS;
class cFSLock;

inline constexpr const char* kOutputLockName = ".lograven-lock";

// The journal file name of worker `worker` of shard `shardIndex` of
// `shardCount`: ".lograven-journal-<K>of<N>-w<i>".
std::string cOutputJournals_workerName(uint32_t shardIndex, uint32_t shardCount, uint32_t worker);

// Recovers the journals in the root of `fs` that shard `shardIndex` of
// `shardCount` owns (see above).  False, logged, when one of them cannot be
// recovered or a journal of another shard count stops the run.
// Takes the lock of shard `shardIndex` of `shardCount` (1: no shards) on the
// root of `fs` into *held.  False, logged, when another run holds it; true
// with a warning and no lock where the folder keeps no locks.
[[nodiscard]] bool cOutputJournals_lock(const cFS& fs, uint32_t shardIndex, uint32_t shardCount,
                                        std::unique_ptr<cFSLock>* held);

[[nodiscard]] bool cOutputJournals_recover(const cFS& fs, uint32_t shardIndex,
                                           uint32_t shardCount);
