"""Fails the build when an executed example raised: its traceback would otherwise be published
as the example's output."""

import html
import re

from mkdocs.exceptions import PluginError

_TAG = re.compile(r"<[^>]+>")
_FAILED = re.compile(r'File "<code block: [^"]*>", line \d+.*?\n(\w+(?:Error|Exception)[^\n]*)', re.S)


def on_page_content(content, page, **kwargs):
    text = html.unescape(_TAG.sub("", content))
    failed = _FAILED.search(text)
    if failed:
        raise PluginError(f"{page.file.src_path}: an example raised {failed.group(1).strip()}")
    return content
