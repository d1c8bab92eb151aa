"""The shape sweep's helpers: the shapes are the same on every run and are
what they claim to be, and the sweep's summary and goals read its figures
the right way round."""

import pytest

import goals
import shapes
import sweeps

SIZE = shapes.QUICK


@pytest.fixture(scope="module")
def built():
    return list(shapes.build(size=SIZE))


def test_shapes_are_the_same_on_every_run(built):
    for cached in (shapes.unihan, shapes.unicode_data, shapes.unicode_fields, shapes.code_points,
                   shapes.latin1_text, shapes.bmp_text, shapes.emoji, shapes.astral_text):
        cached.cache_clear()
    again = list(shapes.build(size=SIZE))
    assert [s.name for s in again] == [s.name for s in built]
    for a, b in zip(built, again):
        assert a.rows == b.rows, a.name


def test_the_sweep_covers_every_dimension(built):
    assert len(built) >= 24
    assert {s.length for s in built} >= {"0", "1", "2-16", "~100", "~3000", "~100000"}
    assert {s.width for s in built} >= {1, 3, 15, 1000}
    assert {s.mix for s in built} >= {"ascii", "latin1", "2byte", "astral", "ascii+one-2byte-start",
                                      "ascii+one-2byte-middle", "ascii+one-2byte-end", "bmp+one-astral-late"}
    assert {s.repeated for s in built} == {True, False}


def test_each_shape_is_what_it_claims(built):
    for s in built:
        assert s.rows and all(isinstance(leaf, str) for leaf in s.leaves), s.name
        assert shapes.mix_of(s.rows) == s.mix, s.name
        assert shapes.length_of(s.rows, SIZE) == s.length, s.name
        if s.width is not None:
            assert all(len(row) == s.width for row in s.rows[:-1]) and 0 < len(s.rows[-1]) <= s.width, s.name
        # The interpreter shares its empty and one-character Latin-1 strings; any other leaf is an object
        # of its own, unless the shape repeats a few leaves.
        longer = [leaf for leaf in s.leaves if len(leaf) > 1]
        objects = {id(leaf) for leaf in longer}
        if s.repeated:
            assert len(objects) <= 64 < len(longer), s.name
        else:
            assert len(objects) == len(longer), s.name


def test_the_named_tables_keep_their_make_up():
    names = {s.name: s for s in shapes.build(["nameslist-blocks-w2", "ascii-100k+2byte-last-cell-w1",
                                                "ascii+2byte-last-row-w15", "unihan-readings-w3"])}
    blocks = names["nameslist-blocks-w2"].rows
    assert len(blocks) > 300 and {len(r) for r in blocks} == {2} and blocks[0][0].startswith("0000\t")
    long = names["ascii-100k+2byte-last-cell-w1"]
    assert len(long.rows) == 100 and min(map(len, long.leaves)) >= 99_000 and shapes.WIDE in long.rows[-1][0]
    assert len(names["ascii+2byte-last-row-w15"].leaves) == 200_000 and shapes.WIDE in "".join(
        names["ascii+2byte-last-row-w15"].rows[-1])
    readings = names["unihan-readings-w3"].rows
    assert any(row[0] > "\uffff" for row in readings) and sum(row[0] > "\uffff" for row in readings) < len(readings) / 2


A, L, B, X = "abc", "\xe9t\xe9", "\u4e00x", "\U0001f600"


@pytest.mark.parametrize("rows, mix", [
    ([[""], []], "ascii"),
    ([[A, L]], "latin1"),
    ([[B, B + A], [B]], "2byte"),
    ([[X, A + X]], "astral"),
    ([[A, B, B]], "mixed-2byte"),
    ([[B] + [A] * 99], "ascii+one-2byte-start"),
    ([[A] * 50 + [B] + [A] * 49], "ascii+one-2byte-middle"),
    ([[A] * 99, [B]], "ascii+one-2byte-end"),
    ([[A] * 30 + [B] + [A] * 69], "mixed-2byte"),  # one wide leaf, but neither near an end nor half way
    ([[A] * 98, [B + B]], "mixed-2byte"),  # two wide characters
    ([[L] * 99, [B]], "mixed-2byte"),  # the rest is not ASCII
    ([[B] * 90 + [X] + [B] * 9], "bmp+one-astral-late"),
    ([[B] * 10 + [X] + [B] * 89], "mixed-astral"),
])
def test_mix_of(rows, mix):
    assert shapes.mix_of(rows) == mix


def rec(peer, seconds, fresh=None, correct=True):
    """Fastest rounds only: the sweep judges nothing else. dwex takes 1 s, so a time is a ratio."""
    r = {"peer": peer, "correct": correct, "gc_on_min": seconds, "gc_off_min": seconds}
    if fresh is not None:
        r.update(fresh_gc_on_min=fresh, fresh_gc_off_min=fresh)
    return r


def shape(kind, parse_ratio, stringify_fresh, warm):
    return {"info": {"document_kind": kind},
            "parse": {"dwex.parse": rec("dwex", 1), "marshal.loads": rec("marshal", parse_ratio),
                      "str.split floor": rec("floor", 0.5)},
            "stringify": {"dwex.stringify": rec("dwex", 1, 1), "orjson.dumps": rec("orjson", warm, stringify_fresh),
                          "csv.writer": rec("csv", 9, 9, correct=False)}}


def test_sweep_summary_and_goals():
    result = {"states": {
        "fresh": {"shapes": {"a": shape(1, 1.5, 2.0, 0.9), "b": shape(2, 1.2, 1.4, 0.5), "c": shape(1, 2.0, 1.1, 1.2)}},
        "worked": {"shapes": {"a": shape(1, 0.8, 2.0, 1.1), "b": shape(2, 1.4, 1.6, 0.5), "c": shape(1, 1.9, 1.2, 1.3)}},
    }, "leaf_writes": {"measured": False, "why": "build/lib-counting is absent"}}
    result["summary"] = sweeps.summarize(result)
    s = result["summary"]
    parse = s["states"]["worked"]["parse"]["marshal.loads"]
    assert (parse["worst"], parse["worst_shape"], parse["median"]) == (0.8, "a", 1.4)
    assert s["states"]["fresh"]["stringify"]["orjson.dumps"]["median"] == 1.4
    # Warm figures count only where dwex's document is 1 byte a character.
    assert s["states"]["fresh"]["stringify warm"]["orjson.dumps"]["worst"] == 0.9
    assert "csv.writer" not in s["states"]["fresh"]["stringify"]
    assert len(s["failed_round_trips"]) == 6
    assert [(w["state"], w["shape"], w["contender"]) for w in s["peer_wins"]] == [("worked", "a", "marshal.loads")]
    verdicts = {g["goal"]: g for g in goals.evaluate_sweep(result)}
    every = verdicts["parse at least as fast as marshal.loads on every shape, both states"]
    assert not every["met"] and every["gc_on"] == 0.8 and "a, worked process" in every["note"]
    assert verdicts["parse 1.3x as fast as marshal.loads at the median shape, both states"]["gc_on"] == 1.4
    median = verdicts["stringify 1.3x as fast as orjson.dumps at the median shape, both states (fresh)"]
    assert median["met"] and median["gc_on"] == 1.4  # the lower of the two states' medians
    assert verdicts["stringify at least as fast as orjson.dumps on every 1-byte shape, both states (warm)"][
        "gc_on"] == 0.9
    leaf = verdicts["stringify writes each leaf once (writes per leaf, worst shape)"]
    assert goals.format_goal(leaf).startswith("goal not measured:")


def test_huge_figures():
    lin = {"sizes": [10**5, 10**7],
           "chars": {"100000": {"document": 200_000, "leaves": 100_000},
                     "10000000": {"document": 20_000_000, "leaves": 10_000_000}},
           "stringify": {"100000": {"gc_on": 2.0, "gc_off": 2.0}, "10000000": {"gc_on": 3.0, "gc_off": 2.0}},
           "''.join floor": {"100000": {"gc_on": 1.0, "gc_off": 1.0}, "10000000": {"gc_on": 1.5, "gc_off": 1.0}},
           "parse": {"100000": {"gc_on": 10.0, "gc_off": 10.0}, "10000000": {"gc_on": 15.0, "gc_off": 10.0}},
           "str.split floor": {"100000": {"gc_on": 5.0, "gc_off": 5.0}, "10000000": {"gc_on": 6.0, "gc_off": 5.0}}}
    fig = sweeps.huge_figures(lin)
    # dwex: 1.0 -> 1.5 ns a document character; the floor: 1.0 -> 1.5 ns a leaf character.
    assert fig["gc_on"]["stringify_extra_ratio"] == pytest.approx(1.0)
    assert fig["gc_on"]["parse_growth_ratio"] == pytest.approx(1.5 / 1.2)
    # A floor that did not grow counts as growing 2% of its time, not as a division by zero.
    assert fig["gc_off"]["stringify_extra_ratio"] == 0.0
