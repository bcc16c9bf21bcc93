"""What the checks written in Python share: a tally of named checks and the closing line, the version the
product should carry, plain process runs, and waiting for what can only be looked at."""
import subprocess
import time


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"ok      {name}", flush=True)
        else:
            self.failed += 1
            print(f"FAILED  {name}" + (f": {detail}" if detail else ""), flush=True)
        return ok

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.passed and not self.failed else 1


def read_version(path):
    with open(path, encoding="ascii") as f:
        return f.read().strip()


def run(*command, timeout=120, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, **options)


def eventually(probe, seconds=20):
    """The probe's value once it is true, or its last value when the time ran out; it is asked every
    tenth of a second."""
    deadline = time.monotonic() + seconds
    while True:
        value = probe()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)
