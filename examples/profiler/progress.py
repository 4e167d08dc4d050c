"""Progress on stderr for a stage that takes over a second, when stderr is a terminal (tqdm);
nothing at all otherwise, so that pipes, logs and tests see only the report."""

from __future__ import annotations

import sys
from types import TracebackType
from typing import IO, Any

# A stage quicker than this shows no bar.
DELAY_S = 1.0


def shown() -> bool:
    """Whether progress goes to stderr: a terminal, and tqdm installed."""
    stream = sys.stderr
    if stream is None or not stream.isatty():
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


class Bar:
    """Steps of one stage; a tqdm bar that appears after DELAY_S where progress is shown."""

    def __init__(self, total: float, what: str, unit: str = "column") -> None:
        self._bar: Any = None
        if shown():
            from tqdm import tqdm

            self._bar = tqdm(
                total=total,
                desc=what,
                unit=unit,
                unit_scale=unit == "B",
                delay=DELAY_S,
                leave=False,
                file=sys.stderr,
            )

    @property
    def active(self) -> bool:
        return self._bar is not None

    def step(self, steps: float = 1) -> None:
        if self._bar is not None:
            self._bar.update(steps)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self) -> Bar:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.close()


class CountedFile:
    """A binary file whose reads move a bar by the bytes read."""

    def __init__(self, file: IO[bytes], bar: Bar) -> None:
        self.file, self.bar = file, bar
        self.closed = False

    def read(self, size: int = -1) -> bytes:
        data = self.file.read(size)
        self.bar.step(len(data))
        return data

    def __getattr__(self, name: str) -> Any:
        return getattr(self.file, name)
