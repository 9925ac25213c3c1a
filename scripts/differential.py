#!/usr/bin/env python3
"""Differential check of the parallel conversion: random cards converted with
-j 1, -j 2, -j 3 and as three shards into one folder (one after another, and
all three at once) must give the same CSV tree byte for byte, the same
statistics block (the shards' aside), the same exit status (the shards'
ORed) and, with -d, the same inputs left.

A card has one to four devices (two of whose serial numbers may reduce to
one device folder), sessions of one to three split files, chains of splits
that go on in the next session number after split 256, compressed and
encrypted containers (with and without the right password), J1939
transfers that start in one split and end in the next, multiplexed
messages, records across midnight, and damaged, truncated and foreign
files; all conversions of a card get the same few options, drawn from those
that change the output or the reading (--no-concat, --utc, -b, ...).
Without -d some files lie outside the device folders (loose files and
copies of split files); with -d every file lies in its device's folder,
since a shard that runs after others plans without the files they deleted
(see README, "Shards").

  scripts/differential.py                       # seeds 1-50, build/release
  scripts/differential.py --seeds 100-300 --build build/debug

Cards and outputs go to <work>/<seed>_<variant>_<mode>; those of a seed that
differs are kept.  Exit status 1 at the first difference.
"""
import argparse
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys

CAN_DBC_BODY = (
    'BO_ 256 M: 2 ECU\n SG_ V : 0|16@1+ (1,0) [0|0] "" ECU\n'
    'BO_ 512 X: 8 ECU\n SG_ mux M : 0|8@1+ (1,0) [0|0] "" ECU\n'
    ' SG_ a m0 : 8|16@1+ (0.1,0) [0|0] "" ECU\n SG_ b m1 : 8|16@1- (1,-5) [0|100] "" ECU\n')
J1939_DBC_BODY = (
    'BO_ 2566841088 BamMsg: 20 ECU\n SG_ A : 0|16@1+ (0.5,0) [0|0] "" ECU\n'
    'BO_ 2364539134 P1: 8 ECU\n SG_ Q : 0|8@1+ (1,0) [0|0] "" ECU\n')
PASSWORDS = '{"AAAA1111": "pw1", "BBBB2222": "pw2", "12345678": "pw1"}'
SERIALS = ['AAAA1111', 'BBBB2222', 'CC', 'C-C', 'c_c', 'DDDD4444', '12345678']


def dbc(body, j1939):
    text = ('VERSION ""\n\nNS_ :\n\nBS_:\n\nBU_: ECU\n\n' + body +
            '\nBA_DEF_ "BusType" STRING ;\nBA_DEF_ "ProtocolType" STRING ;\n'
            'BA_DEF_ BO_ "TransportProtocolType" STRING ;\nBA_DEF_DEF_ "BusType" "";\n'
            'BA_DEF_DEF_ "ProtocolType" "";\nBA_DEF_DEF_ "TransportProtocolType" "";\n'
            'BA_ "BusType" "CAN";\n')
    return text + ('BA_ "ProtocolType" "J1939";\n' if j1939 else '')


def frames(rnd):
    """Frame lines of one file: plain, multiplexed and J1939 messages, and
    parts of broadcast transfers."""
    lines, t = [], 0.1
    frame = lambda extra: lines.append('frame c t=%.6f %s' % (t, extra))
    for _ in range(rnd.randrange(0, 60)):
        t += 3600.0 if rnd.random() < 0.02 else rnd.choice([0.001, 0.002, 0.01])
        kind = rnd.random()
        if kind < 0.5:
            frame('id=0x100 data=%04X' % rnd.randrange(1 << 16))
        elif kind < 0.7:
            frame('id=0x200 data=%02X%014X' % (rnd.randrange(3), rnd.randrange(1 << 56)))
        elif kind < 0.9:
            pgn = rnd.choice([0x0CF00400, 0x18FEF100])
            frame('ch=2 id=0x%X ide=1 data=%s' % (pgn | rnd.choice([0x20, 0x21]), '%02X' % rnd.randrange(256) * 8))
        else:
            first = rnd.randrange(256)
            data = bytes((first + i) & 255 for i in range(20))
            packets = [bytes([i + 1]) + (data[7 * i:7 * i + 7] + b'\xff' * 7)[:7] for i in range(3)]
            part = rnd.choice(['start', 'end', 'both'])
            if part != 'end':
                frame('ch=2 id=0x1CECFF20 ide=1 data=20140003FFE3FE00')
                t += 0.001
                frame('ch=2 id=0x1CEBFF20 ide=1 data=' + packets[0].hex().upper())
            if part != 'start':
                for p in packets[1:]:
                    t += 0.001
                    frame('ch=2 id=0x1CEBFF20 ide=1 data=' + p.hex().upper())
    return lines


def description(rnd, serial, session, split):
    start = 1700000000000000000 + rnd.randrange(2) * 86400 * 10**9 + split * 10**9
    lines = ['start_ns %d' % start, 'serial ' + serial, 'session %d' % session, 'split %d' % split,
             'history QZ', 'group c can'] + frames(rnd)
    wrap = rnd.random()
    if wrap < 0.15:
        lines.append('compress')
    elif wrap < 0.25:
        lines.append('encrypt password=' + rnd.choice(['pw1', 'pw2', 'wrong']))
    elif wrap < 0.3:
        lines += ['compress', 'encrypt password=pw1']
    if rnd.random() < 0.05:
        lines.insert(0, 'unfinished')
    return '\n'.join(lines) + '\n'


def extension(text):
    encrypted, compressed = 'encrypt' in text, 'compress' in text
    return '.MFM' if encrypted and compressed else '.MFE' if encrypted else '.MFC' if compressed else '.MF4'


def damage(rnd, path):
    data = bytearray(open(path, 'rb').read())
    kind = rnd.random()
    if kind < 0.04:
        del data[rnd.randrange(len(data)):]
    elif kind < 0.06:
        data = bytearray(b'not a log file')
    elif kind < 0.09:
        for _ in range(4):
            data[rnd.randrange(len(data))] = rnd.randrange(256)
    open(path, 'wb').write(data)


def splits_of(rnd, chain_state, count):
    """Split numbers of one session: 1, 2, ... or, in a chain, the numbers
    after the last session's, up to the next multiple of 256."""
    if chain_state is None:
        first = rnd.choice([1, 1, 1, 255, 256])
        return list(range(first, first + count))
    first = chain_state[0]
    end = min(first + count, (first + 255) // 256 * 256 + 1)
    chain_state[0] = end if (end - 1) % 256 == 0 else end + rnd.choice([0, 5])
    return list(range(first, end))


def write_card(rnd, mklog, root, device_folders_only):
    count = 0
    for serial in rnd.sample(SERIALS, rnd.randrange(1, 5)):
        chain = [rnd.choice([254, 255, 256])] if rnd.random() < 0.3 else None
        for session in range(1, rnd.randrange(2, 5)):
            for split in splits_of(rnd, chain, rnd.randrange(1, 4)):
                text = description(rnd, serial, session, split)
                place = 0 if device_folders_only else rnd.random()
                if place < 0.8:
                    rel = '%s/%08d/%08d%s' % (serial.replace('-', '_'), session, split, extension(text))
                else:
                    rel = ('loose_%d' if place < 0.9 else 'other/x%d') % count + extension(text)
                path = os.path.join(root, rel)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                subprocess.run([mklog, '-', path], input=text.encode(), check=True)
                damage(rnd, path)
                if not device_folders_only and rnd.random() < 0.05:
                    shutil.copy(path, os.path.join(root, 'copy%d%s' % (count, extension(text))))
                count += 1


def options_of(rnd):
    """Options every conversion of a card gets: none, or a few of those that
    change the output or the reading."""
    choices = [['--no-concat'], ['--pgn-src-merge'], ['--no-pgn-dst-merge'], ['--utc'], ['-X'],
               ['-b', rnd.choice(['4096', '-1'])]]
    return [option for chosen in rnd.sample(choices, rnd.choice([0, 0, 1, 2])) for option in chosen]


def tree(folder):
    found = {}
    for where, _, names in os.walk(folder):
        for name in names:
            if not name.startswith('.'):
                path = os.path.join(where, name)
                found[os.path.relpath(path, folder)] = hashlib.sha1(open(path, 'rb').read()).hexdigest()
    return found


def statistics(stdout, work):
    block = stdout[stdout.find('Reader statistics'):] if 'Reader statistics' in stdout else ''
    return re.sub(re.escape(work) + r'/[^/]*/', '<card>/', re.sub(r'Execution time: [^\n]*', '', block))


def convert(lograven, folder, options, started=False):
    """Converts the folder's card with `options`; with `started`, returns the
    running process (its messages are dropped)."""
    command = [lograven] + options + ['-O', folder + '/out', '-p', folder + '/passwords.json',
                                      '--dbc-can1=' + folder + '/can.dbc', '--dbc-can2=' + folder + '/j1939.dbc',
                                      folder + '/card']
    if started:
        return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    run = subprocess.run(command, capture_output=True, text=True, timeout=300)
    if run.returncode >= 0x80 or 'Sanitizer' in run.stderr or 'runtime error' in run.stderr:
        print(folder, 'status %#x' % run.returncode, run.stderr[-3000:])
    return run


def check_seed(args, seed, variant):
    results = {}
    for mode in ['j1', 'j2', 'j3', 'shards', 'shards_at_once']:
        folder = '%s/%d_%s_%s' % (args.work, seed, variant, mode)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        open(folder + '/can.dbc', 'w').write(dbc(CAN_DBC_BODY, False))
        open(folder + '/j1939.dbc', 'w').write(dbc(J1939_DBC_BODY, True))
        open(folder + '/passwords.json', 'w').write(PASSWORDS)
        write_card(random.Random(seed), args.mklog, folder + '/card', variant == 'delete')
        common = (['-d'] if variant == 'delete' else []) + options_of(random.Random(seed))
        if mode.startswith('shards'):
            shards = [common + ['--shard', '%d/3' % k] for k in range(3)]
            status, stats = 0, None
            if mode == 'shards':
                for options in shards:
                    status |= convert(args.lograven, folder, options).returncode
            else:  # as GNU parallel or a job array starts them
                for run in [convert(args.lograven, folder, options, True) for options in shards]:
                    status |= run.wait()
        else:
            run = convert(args.lograven, folder, common + ['-j', mode[1]])
            status, stats = run.returncode, statistics(run.stdout, args.work)
        results[mode] = (tree(folder + '/out'), status, stats, sorted(tree(folder + '/card')))
    one = results['j1']
    differences = []
    for mode, (csv, status, stats, left) in results.items():
        if csv != one[0]:
            differences.append('%s: CSV files differ: %s' % (mode, sorted(set(csv.items()) ^ set(one[0].items()))))
        if status != one[1]:
            differences.append('%s: status %d, -j 1 %d' % (mode, status, one[1]))
        if stats is not None and stats != one[2]:
            differences.append('%s: statistics differ:\n%s\n-j 1:\n%s' % (mode, stats, one[2]))
        if left != one[3]:
            differences.append('%s: inputs left differ: %s' % (mode, sorted(set(left) ^ set(one[3]))))
    if not differences:
        for mode in results:
            shutil.rmtree('%s/%d_%s_%s' % (args.work, seed, variant, mode), ignore_errors=True)
    return differences, len(one[0]), one[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build', default='build/release', help='build folder with lograven and tools/mklog')
    parser.add_argument('--seeds', default='1-50', help='FIRST-LAST')
    parser.add_argument('--work', default='build/differential', help='scratch folder')
    args = parser.parse_args()
    args.lograven = os.path.abspath(os.path.join(args.build, 'lograven'))
    args.mklog = os.path.abspath(os.path.join(args.build, 'tools/mklog/mklog'))
    args.work = os.path.abspath(args.work)
    first, last = (int(x) for x in args.seeds.split('-'))
    for seed in range(first, last + 1):
        for variant in ['plain', 'delete']:
            differences, files, status = check_seed(args, seed, variant)
            print('seed %d %s: %s (%d CSV files, status %d)' % (seed, variant, 'differs' if differences else 'same',
                                                             files, status), flush=True)
            if differences:
                print('\n'.join(differences))
                return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
