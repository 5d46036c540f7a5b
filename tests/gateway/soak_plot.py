"""The plant's day as one picture (SVG, no library): the gateway's CPU and RSS
over the run, and each way in's p99 latency, one point a bucket."""
import html

COLOURS = {"mqtt": "#1f77b4", "opcua": "#d62728", "modbus": "#2ca02c", "web": "#9467bd", "metrics": "#8c564b",
           "cpu": "#ff7f0e", "rss": "#17becf"}
W, H, LEFT, RIGHT, TOP, PANEL, GAP = 900, 0, 70, 130, 40, 170, 50


def _panel(out, y0, title, unit, series, t_end, log=False):
    """Lines of (name, [(t, value)]) in a panel whose top is y0."""
    values = [v for _, pts in series for _, v in pts if v is not None]
    top = max(values) * 1.1 if values else 1.0
    top = top if top > 0 else 1.0
    x = lambda t: LEFT + (W - LEFT - RIGHT) * t / max(t_end, 1e-9)  # noqa: E731
    y = lambda v: y0 + PANEL - PANEL * v / top  # noqa: E731
    out.append(f'<text x="{LEFT}" y="{y0 - 8}" font-size="14" font-weight="bold">{html.escape(title)}</text>')
    out.append(f'<rect x="{LEFT}" y="{y0}" width="{W - LEFT - RIGHT}" height="{PANEL}" fill="none" stroke="#999"/>')
    for i in range(5):
        v = top * i / 4
        out.append(f'<line x1="{LEFT}" x2="{W - RIGHT}" y1="{y(v):.1f}" y2="{y(v):.1f}" stroke="#eee"/>')
        out.append(f'<text x="{LEFT - 6}" y="{y(v) + 4:.1f}" font-size="11" text-anchor="end">{v:.3g} {unit}</text>')
    for i, (name, pts) in enumerate(series):
        path = " ".join(f"{x(t):.1f},{y(v):.1f}" for t, v in pts if v is not None)
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
    _panel(out, y0, "each way in: p99 latency", "ms",
           [(w, [(b["t"], b[w]) for b in buckets]) for w in ways], t_end)
    y0 += PANEL + 20
    for i in range(7):
        t = t_end * i / 6
        xx = LEFT + (W - LEFT - RIGHT) * i / 6
        out.append(f'<text x="{xx:.1f}" y="{y0 + 4}" font-size="11" text-anchor="middle">{t / 60:.0f} min</text>')
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
