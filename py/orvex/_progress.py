"""A progress count for long loads, shared by the command line and orvex.ray."""

import sys
import time


class _Progress:
    """Counts loaded vectors: a tqdm bar when tqdm is installed, else a line on stderr every few seconds."""

    def __init__(self, show, total, label):
        self.bar, self.done, self.shown, self.start = None, 0, 0.0, time.monotonic()
        self.show, self.label = show, label
        if show:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit=" vectors", unit_scale=True, desc=label)

    def update(self, n, last=False):
        self.done += n
        if self.bar is not None:
            self.bar.update(n)
            if last:
                self.bar.close()
        elif self.show and (last or time.monotonic() - self.shown > 5):
            self.shown = time.monotonic()
            print(f"{self.label}: {self.done:,} vectors, {self.shown - self.start:.1f} s", file=sys.stderr)
