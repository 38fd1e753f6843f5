"""Prints the monitors and top-level windows that _native_core finds."""

import _native_core as core


def main() -> None:
    monitors = core.list_monitors()
    print(f"{len(monitors)} monitor(s):")
    for monitor in monitors:
        print(f"  {monitor!r}")
    windows = core.list_windows()
    print(f"{len(windows)} visible titled window(s):")
    for window in windows:
        print(f"  {window!r}  class={window.class_name!r}")
    hidden = len(core.list_windows(include_hidden=True)) - len(windows)
    print(f"(and {hidden} hidden or untitled top-level window(s))")


if __name__ == "__main__":
    main()
