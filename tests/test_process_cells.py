import subprocess
import sys

SCRIPT = r"""
import sys, threading, time, types
import molvane.ctable as real

fetches = []

class SlowModule(types.ModuleType):
    def __getattr__(self, name):
        fetches.append(name)
        time.sleep(0.05)  # let the other threads reach the same fetch
        return getattr(real, name)

sys.modules["molvane.ctable"] = SlowModule("molvane.ctable")
from molvane import native

raised = []
def work():
    try:
        native.CTable([])
    except Exception as error:
        raised.append(type(error))

threads = [threading.Thread(target=work) for _ in range(6)]
for t in threads: t.start()
for t in threads: t.join()
print(len(fetches), len(raised), len(set(raised)), raised[0] is real.MalformedCTableError)
"""


def test_imported_exception_is_fetched_once_across_threads():
    # A fresh process: the class must not have been fetched yet.
    run = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["1", "6", "1", "True"]
