"""The plant's day as one picture (SVG, no library): the gateway's CPU and RSS
over the run, and each way in's p99 latency, one point a bucket."""
import html
import math

COLOURS = {"mqtt": "#1f77b4", "opcua": "#d62728", "modbus": "#2ca02c", "web": "#9467bd", "metrics": "#8c564b",
           "cpu": "#ff7f0e", "rss": "#17becf"}
W, LEFT, RIGHT, TOP, PANEL, GAP = 900, 80, 130, 40, 170, 50


def _panel(out, y0, title, unit, series, t_end, log=False):
    """Lines of (name, [(t, value)]) in a panel whose top is y0; log: decades from 0.1."""
    values = [v for _, pts in series for _, v in pts if v is not None and v == v]
    top = max(values) * 1.1 if values else 1.0
    top = top if top > 0 else 1.0
    x = lambda t: LEFT + (W - LEFT - RIGHT) * t / max(t_end, 1e-9)  # noqa: E731
    if log:
        lo, hi = -1.0, max(0.0, math.ceil(math.log10(top)))
        y = lambda v: y0 + PANEL - PANEL * (math.log10(max(v, 0.1)) - lo) / (hi - lo)  # noqa: E731
        grid = [10.0 ** e for e in range(int(lo), int(hi) + 1)]
    else:
        y = lambda v: y0 + PANEL - PANEL * v / top  # noqa: E731
        grid = [top * i / 4 for i in range(5)]
    out.append(f'<text x="{LEFT}" y="{y0 - 8}" font-size="14" font-weight="bold">{html.escape(title)}</text>')
    out.append(f'<rect x="{LEFT}" y="{y0}" width="{W - LEFT - RIGHT}" height="{PANEL}" fill="none" stroke="#999"/>')
    for v in grid:
        out.append(f'<line x1="{LEFT}" x2="{W - RIGHT}" y1="{y(v):.1f}" y2="{y(v):.1f}" stroke="#eee"/>')
        out.append(f'<text x="{LEFT - 6}" y="{y(v) + 4:.1f}" font-size="11" text-anchor="end">{v:.3g} {unit}</text>')
    for i, (name, pts) in enumerate(series):
        path = " ".join(f"{x(t):.1f},{y(v):.1f}" for t, v in pts if v is not None and v == v)
        colour = COLOURS.get(name, "#333")
        if path:
            out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" stroke-width="1.5"/>')
        out.append(f'<text x="{W - RIGHT + 10}" y="{y0 + 16 + 16 * i}" font-size="12" fill="{colour}">'
                   f'{html.escape(name)}</text>')


def draw(path, timeline, buckets, ways, totals):
    t_end = max([r["t"] for r in timeline] + [1])
    out = []
    y0 = TOP + 30
    _panel(out, y0, "the gateway's CPU (% of one core)", "%", [("cpu", [(r["t"], r["cpu"]) for r in timeline])], t_end)
    y0 += PANEL + GAP
    _panel(out, y0, "its resident memory", "MB", [("rss", [(r["t"], r["rss_kb"] / 1024) for r in timeline])], t_end)
    y0 += PANEL + GAP
    _panel(out, y0, "each way in: p99 latency (each bucket's, log scale)", "ms",
           [(w, [(b["t"], b[w]) for b in buckets]) for w in ways], t_end, log=True)
    y0 += PANEL + 20
    minutes = t_end / 60
    step = next(s for s in (1, 2, 5, 10, 15, 30, 60) if minutes / s <= 8)
    for m in range(0, int(minutes) + 1, step):
        xx = LEFT + (W - LEFT - RIGHT) * m * 60 / t_end
        out.append(f'<text x="{xx:.1f}" y="{y0 + 4}" font-size="11" text-anchor="middle">{m} min</text>')
    faults = totals.get("faults", [])
    for t, what, _ in faults:
        xx = LEFT + (W - LEFT - RIGHT) * t / t_end
        out.append(f'<line x1="{xx:.1f}" x2="{xx:.1f}" y1="{TOP + 30}" y2="{y0 - 16}" stroke="#c00" '
                   f'stroke-dasharray="3,3"><title>{html.escape(what)}</title></line>')
    title = (f"A day on the plant: {totals['minutes']:g} min, {totals['channels']} channels of "
             f"{totals['stations']} stations, every table on; red: the faults")
    height = y0 + 30
    svg = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{height}" '
           f'viewBox="0 0 {W} {height}" font-family="sans-serif">',
           f'<rect width="{W}" height="{height}" fill="white"/>',
           f'<text x="{LEFT}" y="{TOP}" font-size="16">{html.escape(title)}</text>'] + out + ["</svg>"]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(svg) + "\n")
