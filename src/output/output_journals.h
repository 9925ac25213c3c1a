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
#pragma once

#include <cstdint>
#include <string>

class cFS;

// The journal file name of worker `worker` of shard `shardIndex` of
// `shardCount`: ".lograven-journal-<K>of<N>-w<i>".
std::string cOutputJournals_workerName(uint32_t shardIndex, uint32_t shardCount, uint32_t worker);

// Recovers the journals in the root of `fs` that shard `shardIndex` of
// `shardCount` owns (see above).  False, logged, when one of them cannot be
// recovered or a journal of another shard count stops the run.
[[nodiscard]] bool cOutputJournals_recover(const cFS& fs, uint32_t shardIndex,
                                           uint32_t shardCount);
