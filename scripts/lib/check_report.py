"""What a check script found. Each problem is noted and the check goes on,
so one run lists every problem; at the end `finish` fails with the list or
confirms in one line what was checked."""
import sys

problems = []


def fail(message):
    problems.append(message)


def finish(title, confirmed):
    """Exits with status 1 after listing the problems under `title`, or
    prints `title: confirmed`."""
    if problems:
        print(f"{title} FAILED:")
        for p in problems:
            print("  " + p)
        sys.exit(1)
    print(f"{title}: {confirmed}")
