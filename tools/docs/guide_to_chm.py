#!/usr/bin/python3
"""Turns the host developer's guide (docs/guide/*.md) into the pages, the contents file and
the project file of the compiled help file OrvaneCtl.chm, in an output folder; chmcmd then
compiles them. Links between the pages are rewritten from .md to .htm, links to the samples
(../../samples/FOLDER) lead to a page of that folder's files shown as text inside the help
file, which has no other way to reach them, and the state diagram is referenced as PNG, which
the help viewer's HTML engine shows (it has no SVG)."""
import argparse
import html
import pathlib
import re
import shutil
import sys

import markdown

# Pages in the order of the contents, with their titles.
PAGES = [
    ("README.md", "Getting started"),
    ("update-cycle.md", "The update cycle"),
    ("update-dialog.md", "The update dialog"),
    ("installing.md", "Installing the update"),
    ("reference.md", "Reference"),
    ("update-file.md", "The update information file"),
    ("publishing.md", "Publishing an update"),
    ("security.md", "Security notes"),
    ("troubleshooting.md", "Troubleshooting"),
]

STYLE = """body { font-family: Verdana, Arial, sans-serif; font-size: 10pt; margin: 12px; }
table { border-collapse: collapse; margin: 8px 0; }
th, td { border: 1px solid #999; padding: 3px 6px; vertical-align: top; text-align: left; }
th { background: #e8e8f0; }
code, pre { font-family: "Courier New", monospace; font-size: 9pt; }
pre { background: #f4f4f4; border: 1px solid #ddd; padding: 6px; }
h1 { font-size: 16pt; color: #1f1f6f; } h2 { font-size: 13pt; color: #1f1f6f; }"""


def page_name(md_name):
    return "index.htm" if md_name == "README.md" else md_name[:-3] + ".htm"


def sample_page(folder):
    return f"sample-{folder}.htm"


def convert(text):
    # Links to other pages of the guide; links to the samples go to their pages; any other
    # link out of the guide stays as text.
    text = re.sub(r"\]\(([\w-]+)\.md(#[\w-]+)?\)",
                  lambda m: "](" + page_name(m.group(1) + ".md") + (m.group(2) or "") + ")", text)
    text = text.replace("](README.md)", "](index.htm)")
    text = re.sub(r"\]\(\.\./\.\./samples/([\w-]+)[^)]*\)",
                  lambda m: "](" + sample_page(m.group(1)) + ")", text)
    # Screenshots are copied beside the pages.
    text = re.sub(r"!\[([^\]]*)\]\(\.\./screenshots/([\w.-]+)\)", r"![\1](\2)", text)
    text = re.sub(r"\[([^\]]+)\]\(\.\./[^)]*\)", r"\1", text)
    text = text.replace("state-diagram.svg", "state-diagram.png")
    return markdown.markdown(text, extensions=["tables", "fenced_code", "toc"], output_format="html")


def write_sample_pages(samples, out):
    """One page per sample folder with each of its files as text; returns (page, title)."""
    pages = []
    for folder in sorted(p for p in samples.iterdir() if p.is_dir()):
        parts = [f"<h1>Sample: samples/{html.escape(folder.name)}</h1>",
                 "<p>The files of this folder of the release package, as shipped.</p>"]
        for f in sorted(folder.iterdir()):
            parts.append(f"<h2>{html.escape(f.name)}</h2>")
            parts.append("<pre>" + html.escape(f.read_text(encoding="utf-8")) + "</pre>")
        title = f"Sample {folder.name}"
        page = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
                f"<title>{html.escape(title)}</title>\n<style>{STYLE}</style></head>\n"
                "<body>\n" + "\n".join(parts) + "\n</body></html>\n")
        (out / sample_page(folder.name)).write_text(page, encoding="utf-8")
        pages.append((sample_page(folder.name), title))
    return pages


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("guide", type=pathlib.Path)
    ap.add_argument("out", type=pathlib.Path)
    args = ap.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    files = []
    for md_name, title in PAGES:
        body = convert((args.guide / md_name).read_text(encoding="utf-8"))
        page = ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
                f"<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\">\n"
                f"<title>{html.escape(title)}</title>\n<style>{STYLE}</style></head>\n"
                f"<body>\n{body}\n</body></html>\n")
        (args.out / page_name(md_name)).write_text(page, encoding="utf-8")
        files.append(page_name(md_name))
        for shot in re.findall(r"!\[[^\]]*\]\(\.\./screenshots/([\w.-]+)\)",
                               (args.guide / md_name).read_text(encoding="utf-8")):
            shutil.copyfile(args.guide.parent / "screenshots" / shot, args.out / shot)
            files.append(shot)
    samples = write_sample_pages(args.guide.resolve().parent.parent / "samples", args.out)
    files += [p for p, _ in samples]
    files.append("state-diagram.png")
    items = "\n".join(
        f'  <LI><OBJECT type="text/sitemap"><param name="Name" value="{html.escape(t)}">'
        f'<param name="Local" value="{p}"></OBJECT>'
        for p, t in [(page_name(m), t) for m, t in PAGES] + samples)
    (args.out / "OrvaneCtl.hhc").write_text(
        "<!DOCTYPE HTML PUBLIC \"-//IETF//DTD HTML//EN\">\n<HTML><BODY>\n<UL>\n" + items +
        "\n</UL>\n</BODY></HTML>\n", encoding="utf-8")
    (args.out / "OrvaneCtl.hhp").write_text(
        "[OPTIONS]\nCompatibility=1.1 or later\nCompiled file=OrvaneCtl.chm\n"
        "Contents file=OrvaneCtl.hhc\nDefault topic=index.htm\nDisplay compile progress=No\n"
        "Full-text search=Yes\nLanguage=0x409 English (United States)\n"
        "Title=Orvane Control Reference\n\n[FILES]\n" + "\n".join(files) + "\n",
        encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
