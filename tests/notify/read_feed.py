#!/usr/bin/python3
"""Prints, as JSON, what feedparser reads from an Atom file: whether it is well-formed, its
version, the feed's id, title and updated, and each entry's id, title, updated and links."""

import json
import sys

import feedparser

d = feedparser.parse(sys.argv[1])
print(json.dumps({
    "bozo": bool(d.bozo),
    "bozo_exception": str(d.get("bozo_exception", "")),
    "version": d.version,
    "id": d.feed.get("id", ""),
    "title": d.feed.get("title", ""),
    "updated": d.feed.get("updated", ""),
    "updated_parsed": d.feed.get("updated_parsed") is not None,
    "entries": [{
        "id": e.get("id", ""),
        "title": e.get("title", ""),
        "updated": e.get("updated", ""),
        "updated_parsed": e.get("updated_parsed") is not None,
        "links": [l.get("href", "") for l in e.get("links", [])],
        "content": e.get("content", [{}])[0].get("value", "") if e.get("content") else "",
    } for e in d.entries],
}, ensure_ascii=False))
