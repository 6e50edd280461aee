#!/usr/bin/env python3
"""Fails when an include goes against the layer table of docs/architecture.md, or when
includes form a cycle.

    python3 scripts/check_layers.py [ROOT]

Each source file belongs to the deepest layer folder that holds it; it may include its own
layer and the layers listed for it below, nothing else of the product. System and
third-party headers (<...>) are not checked.
"""

import re
import sys
from pathlib import Path

CORE = "src/main/core"
# The bindings and the tool stand above every folder of the core.
WHOLE_CORE = [
    f"{CORE}/{d}" for d in ("base", "cbor", "delta", "delta/policy", "delta/exact", "delta/fast")
]
# layer -> layers it may include besides itself
ALLOWED = {
    f"{CORE}/base": [],
    f"{CORE}/cbor": [f"{CORE}/base"],
    f"{CORE}/delta/policy": [f"{CORE}/base"],
    f"{CORE}/delta/exact": [
        f"{CORE}/base",
        f"{CORE}/cbor",
        f"{CORE}/delta",
        f"{CORE}/delta/policy",
    ],
    f"{CORE}/delta/fast": [
        f"{CORE}/base",
        f"{CORE}/cbor",
        f"{CORE}/delta",
        f"{CORE}/delta/policy",
        f"{CORE}/delta/exact",
    ],
    f"{CORE}/delta": [
        f"{CORE}/base",
        f"{CORE}/cbor",
        f"{CORE}/delta/policy",
        f"{CORE}/delta/exact",
        f"{CORE}/delta/fast",
    ],
    "src/main/cxx_api": [f"{CORE}/base"],
    "src/main/bindings/python": [*WHOLE_CORE, "src/main/cxx_api"],
    "tools": WHOLE_CORE,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path: str) -> str | None:
    best = None
    for layer in ALLOWED:
        if path.startswith(layer + "/") and (best is None or len(layer) > len(best)):
            best = layer
    return best


def main() -> int:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else ".").resolve()
    sources = [
        p for layer in ALLOWED for p in (root / layer).rglob("*") if p.suffix in (".h", ".cpp")
    ]
    sources = sorted(set(sources))
    roots = [
        root / CORE,
        root / "src/main/cxx_api",
        root / "src/main/bindings/python",
        root / "tools",
    ]
    problems = []
    graph: dict[str, list[str]] = {}
    for source in sources:
        rel = source.relative_to(root).as_posix()
        mine = layer_of(rel)
        module = rel.rsplit(".", 1)[0]  # a header and its source are one module
        graph.setdefault(module, [])
        for name in INCLUDE.findall(source.read_text()):
            candidates = [source.parent / name] + [r / name for r in roots]
            target = next((c for c in candidates if c.is_file()), None)
            if target is None:
                problems.append(f'{rel}: includes "{name}", which is not a product header')
                continue
            target_rel = target.resolve().relative_to(root).as_posix()
            target_module = target_rel.rsplit(".", 1)[0]
            if target_module != module:
                graph[module].append(target_module)
            theirs = layer_of(target_rel)
            if theirs != mine and theirs not in ALLOWED[mine]:
                problems.append(f"{rel} ({mine}) may not include {target_rel} ({theirs})")
    # Cycles between modules (a header and its source count as one).
    state: dict[str, int] = {}

    def visit(node: str, trail: list[str]) -> None:
        state[node] = 1
        for nxt in graph.get(node, []):
            if state.get(nxt) == 1:
                problems.append("include cycle: " + " -> ".join(trail[trail.index(nxt) :] + [nxt]))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = 2

    for node in graph:
        if node not in state:
            visit(node, [node])
    for problem in problems:
        print(problem)
    print(f"layers: {len(sources)} files, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
