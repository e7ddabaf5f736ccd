"""Judges a test VM run from its console log:

    check_console.py LOG [SCENARIO...]

Passes when the VM ran its scenarios to the end with no failure, every
announced scenario (or every one named) passed, and the kernel reported no
bug, oops or warning. Prints the scenario lines and the verdict."""
import re
import sys

KERNEL_TROUBLE = re.compile(r'BUG:|Oops|WARNING:|general protection|Kernel panic|'
                            r'Call Trace|refcount_t:|list_add corruption|UBSAN:')


def main():
    path, wanted = sys.argv[1], sys.argv[2:]
    try:
        with open(path, errors='replace') as f:
            lines = [l.rstrip('\r\n') for l in f]
    except OSError as e:
        print('qemu: no console log: %s' % e)
        return 1

    announced, passed, failed, exit_code, problems = [], set(), set(), None, []
    for line in lines:
        m = re.match(r'TSQ (PASS|FAIL) (\S+)', line)
        if m:
            (passed if m.group(1) == 'PASS' else failed).add(m.group(2))
        elif line.startswith('TSQ scenarios'):
            announced = line.split()[2:]
        elif line.startswith('TSQ exit'):
            exit_code = line.split()[2]
        if KERNEL_TROUBLE.search(line):
            problems.append(line)

    wanted_labels = [a for a in announced
                     if not wanted or a in wanted or a.rsplit('-', 1)[0] in wanted]
    missing = [a for a in wanted_labels if a not in passed and a not in failed]
    print('\n'.join(l for l in lines if l.startswith(('TSQ', '    ', 'GADGET'))))
    errors = []
    if not announced:
        errors.append('the scenarios never started')
    if failed:
        errors.append('failed: ' + ' '.join(sorted(failed)))
    if missing:
        errors.append('never finished: ' + ' '.join(missing))
    if exit_code != '0':
        errors.append('the VM ended with status %s' % exit_code)
    if problems:
        errors.append('kernel trouble:\n  ' + '\n  '.join(problems))
    if errors or not passed:
        print('\n'.join(lines[-40:]) if not announced else '')
        print('qemu: FAILED: ' + '; '.join(errors))
        return 1
    print('qemu: %d scenarios passed' % len(passed))
    return 0


if __name__ == '__main__':
    sys.exit(main())
