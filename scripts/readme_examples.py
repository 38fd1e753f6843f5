"""Writes the Python examples of the README's sections about the vorel
package (everything before the engine's own sections) into a folder, one
file each, for the type checker."""

import pathlib
import re
import sys

readme = pathlib.Path(sys.argv[1]).read_text(encoding="utf-8")
package_part = readme.split("\n## The two commands", 1)[0]
out = pathlib.Path(sys.argv[2])
out.mkdir(parents=True, exist_ok=True)
blocks = re.findall(r"```python\n(.*?)```", package_part, re.DOTALL)
if not blocks:
    raise SystemExit("no Python examples found in the README")
for i, block in enumerate(blocks):
    (out / f"readme_example_{i}.py").write_text(block, encoding="utf-8")
print(f"{len(blocks)} README example(s)")
