"""Summaries and Graphviz views of described states (see ``kavro.inspect`` and ``kavro.to_dot``).

A described tree is a nest of node dicts under a field named ``root``: each node holds its own fields
plus its child slots ``left`` and ``right`` (``None`` when absent) and, for model trees, ``alternate``
(the alternate subtree grown at that node).
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

_FEATURE_KEYS = ("split_feature", "feature")
_THRESHOLD_KEYS = ("threshold", "split_value")


def _is_node(value: Any) -> bool:
    return isinstance(value, dict) and "left" in value and "right" in value


def tree_summary(root: Any) -> dict[str, int]:
    """``n_nodes``, ``n_leaves``, ``depth`` (edges on the longest path) and ``n_alternates``."""
    n_nodes = n_leaves = depth = n_alternates = 0
    stack = [(root, 0)] if _is_node(root) else []
    while stack:
        node, d = stack.pop()
        n_nodes += 1
        depth = max(depth, d)
        children = [c for c in (node.get("left"), node.get("right")) if _is_node(c)]
        if not children:
            n_leaves += 1
        stack.extend((c, d + 1) for c in children)
        if _is_node(node.get("alternate")):
            n_alternates += 1
    return {"n_nodes": n_nodes, "n_leaves": n_leaves, "depth": depth, "n_alternates": n_alternates}


def _trees(value: Any, path: str = "") -> Iterator[tuple[str, dict[str, Any]]]:
    """(path, root node) of every tree inside a described state, outermost first."""
    if isinstance(value, dict):
        for key, item in value.items():
            sub = f"{path}.{key}" if path else str(key)
            if key == "root" and _is_node(item):
                yield sub, item
            elif not _is_node(item):
                yield from _trees(item, sub)
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from _trees(item, f"{path}[{i}]")


def _member_list(state: Any) -> list[Any] | None:
    if isinstance(state, dict):
        for key in ("members", "boosters"):
            found = state.get(key)
            if isinstance(found, list):
                return found
    return None


def _member_summary(member: Any) -> dict[str, Any]:
    out: dict[str, Any] = {}
    if isinstance(member, dict):
        n_seen = member.get("n_seen")
        n_correct = member.get("n_correct")
        if isinstance(n_seen, (int, float)) and isinstance(n_correct, (int, float)):
            out["weight"] = n_correct / n_seen if n_seen > 0 else 1.0
        for key in ("n_drifts", "n_warnings", "initialised"):
            if key in member:
                out[key] = member[key]
        if "background" in member:
            out["has_background"] = member["background"] is not None
    trees = list(_trees(member))
    if trees:
        out["tree"] = tree_summary(trees[0][1])
    return out


def summarise(name: str, state: Any) -> dict[str, Any]:
    """Summary counts for the described state of class ``name`` (empty when none apply)."""
    members = _member_list(state)
    if members is not None:
        return {"n_members": len(members), "members": [_member_summary(m) for m in members]}
    trees = list(_trees(state))
    if not trees:
        return {}
    out: dict[str, Any] = dict(tree_summary(trees[0][1]))
    if len(trees) > 1:
        out["other_trees"] = {path: tree_summary(root) for path, root in trees[1:]}
    return out


def _first(node: dict[str, Any], keys: tuple[str, ...]) -> Any:
    for key in keys:
        if key in node:
            return node[key]
    return None


def _leaf_label(node: dict[str, Any]) -> str:
    counts = node.get("class_counts")
    if isinstance(counts, dict) and counts:
        best = max(counts.items(), key=lambda kv: kv[1])
        total = sum(v for v in counts.values() if isinstance(v, (int, float)))
        return f"class {best[0]}\\n{total:g} seen"
    for key, label in (("y_mean", "mean"), ("value", "value"), ("prediction", "")):
        value = node.get(key)
        if isinstance(value, (int, float)):
            return f"{label} {value:.4g}".strip()
    n, y_sum = node.get("n"), node.get("y_sum")
    if isinstance(n, (int, float)) and isinstance(y_sum, (int, float)) and n > 0:
        return f"mean {y_sum / n:.4g}\\n{n:g} seen"
    weight = node.get("weight")
    return f"leaf\\n{weight:g} seen" if isinstance(weight, (int, float)) else "leaf"


def _quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\\\\n", "\\n") + '"'


def tree_to_dot(root: dict[str, Any], title: str, max_depth: int | None = None) -> str:
    lines = [f"digraph {_quote(title)} {{", "  node [shape=box, fontname=Helvetica];"]
    stack: list[tuple[dict[str, Any], int, int]] = [(root, 0, 0)]
    next_id = 1
    while stack:
        node, ident, depth = stack.pop()
        left, right = node.get("left"), node.get("right")
        if not _is_node(left) and not _is_node(right):
            lines.append(f"  n{ident} [label={_quote(_leaf_label(node))}, style=rounded];")
            continue
        if max_depth is not None and depth >= max_depth:  # the subtree below is cut
            lines.append(f"  n{ident} [label={_quote('...')}, style=dashed];")
            continue
        feature = _first(node, _FEATURE_KEYS)
        threshold = _first(node, _THRESHOLD_KEYS)
        t = f"{threshold:.6g}" if isinstance(threshold, float) and math.isfinite(threshold) else str(threshold)
        lines.append(f"  n{ident} [label={_quote(str(feature))}];")
        for child, test in ((left, f"<= {t}"), (right, f"> {t}")):
            if isinstance(child, dict) and _is_node(child):
                lines.append(f"  n{ident} -> n{next_id} [label={_quote(test)}];")
                stack.append((child, next_id, depth + 1))
                next_id += 1
    lines.append("}")
    return "\n".join(lines) + "\n"


def to_dot(name: str, state: Any, member: int | None = None, max_depth: int | None = None) -> str:
    """Graphviz DOT text of the tree in a described state, or of one ensemble member's tree; with
    ``max_depth``, nodes deeper than that are left out (a cut subtree is drawn as "...")."""
    if max_depth is not None and (isinstance(max_depth, bool) or not isinstance(max_depth, int) or max_depth < 0):
        raise ValueError(f"max_depth must be a non-negative int or None, got {max_depth!r}")
    members = _member_list(state)
    if member is not None:
        if members is None:
            raise TypeError(f"{name} is not an ensemble: member= applies to ensembles only")
        if not -len(members) <= member < len(members):
            raise IndexError(f"{name} has {len(members)} members; member {member} does not exist")
        trees = list(_trees(members[member]))
        if not trees:
            raise ValueError(f"member {member} of {name} has no tree yet")
        return tree_to_dot(trees[0][1], f"{name} member {member}", max_depth)
    if members is not None:
        raise TypeError(f"{name} is an ensemble: choose a member with member=i")
    trees = list(_trees(state))
    if not trees:
        raise TypeError(f"{name} is not a tree or an ensemble of trees")
    return tree_to_dot(trees[0][1], name, max_depth)
