# Bytes and file objects in, PDF bytes or a file object out; the Document context manager;
# decoding from memory; the installed package.
import io
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import folian

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PHOTO = os.path.join(ROOT, "examples", "photo.jpg")
BADGE = os.path.join(ROOT, "examples", "badge.png")
TOOL = os.path.join(os.path.dirname(os.environ["FOLIAN_LIBRARY"]), "folian")


def read(path):
    with open(path, "rb") as f:
        return f.read()


@pytest.mark.skipif(not os.path.exists(TOOL), reason="the tool is not built beside the library")
def test_every_kind_of_input_gives_the_tools_document(tmp_path):
    target = tmp_path / "tool.pdf"
    subprocess.run([TOOL, PHOTO, BADGE, PHOTO, BADGE, PHOTO, "-o", str(target)], check=True)
    expected = target.read_bytes()
    inputs = [read(PHOTO), bytearray(read(BADGE)), memoryview(read(PHOTO)), io.BytesIO(read(BADGE)),
              pathlib.Path(PHOTO)]
    assert folian.convert(inputs) == expected
    out = tmp_path / "out.pdf"
    inputs[3].seek(0)
    assert folian.convert(inputs, out) == 5 and out.read_bytes() == expected
    sink = io.BytesIO()
    inputs[3].seek(0)
    assert folian.convert(inputs, sink) == 5 and sink.getvalue() == expected
    assert folian.convert(read(PHOTO), strict=True) == folian.convert([PHOTO], strict=True)


def test_bad_inputs_name_the_input_and_write_nothing(tmp_path):
    out = tmp_path / "out.pdf"
    with pytest.raises(folian.Error) as e:
        folian.convert([PHOTO, read(BADGE), b"\0 no image at all"], out)
    assert str(e.value) == "input 3 (bytes): not a PNG or JPEG image"
    assert (e.value.message, e.value.path) == ("not a PNG or JPEG image", None)
    assert not isinstance(e.value, OSError)
    with open(PHOTO) as text, pytest.raises(TypeError, match="text mode"):
        folian.convert([text], out)
    with pytest.raises(TypeError, match="output"):
        folian.convert([PHOTO], io.StringIO())
    with pytest.raises(OSError) as e:
        folian.convert([PHOTO, tmp_path / "missing.png"], out)
    assert e.value.path == str(tmp_path / "missing.png") and e.value.message == "png: cannot read file"
    assert isinstance(e.value, folian.Error) and e.value.errno == 2
    assert os.listdir(tmp_path) == []


def test_document_finishes_or_aborts_with_its_block(tmp_path):
    out = tmp_path / "out.pdf"
    with folian.Document(out, page_size="a4") as doc:
        doc.add(PHOTO)
        doc.add(read(BADGE))
    assert doc.pages == 2 and out.read_bytes() == folian.convert([PHOTO, BADGE], page_size="a4")
    with pytest.raises(RuntimeError):
        with folian.Document(tmp_path / "other.pdf") as doc:
            doc.add(PHOTO)
            raise RuntimeError("stop")
    assert os.listdir(tmp_path) == ["out.pdf"]
    doc = folian.Document()
    with pytest.raises(folian.Error, match=r"^input 1 \(bytes\)"):
        doc.add(bytearray(b"\0garbage"))
    doc.add(io.BytesIO(read(PHOTO)))
    assert doc.finish() == folian.convert([PHOTO])
    with pytest.raises(folian.Error, match="no pages"):
        folian.Document().finish()


def test_decode_reads_paths_bytes_and_file_objects_without_a_copy():
    img = folian.decode(PHOTO)
    assert folian.decode(read(PHOTO)) == img == folian.decode(io.BytesIO(read(PHOTO)))
    assert isinstance(img.pixels, memoryview) and img.pixels.readonly and img.pixels.obj is not None
    assert len(img.pixels) == img.width * img.height * 4
    badge = folian.decode(bytearray(read(BADGE)))
    assert bytes(badge.pixels) == bytes(folian.decode(BADGE).pixels)
    with pytest.raises(folian.Error, match="^png: "):
        folian.decode(read(BADGE)[:60])


def test_threads_convert_bytes_at_once():
    expected = folian.convert([read(PHOTO), read(BADGE)], page_size="letter")
    results = []

    def work():
        results.append(folian.convert([read(PHOTO), read(BADGE)], page_size="letter"))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 8


def test_the_installed_package_needs_no_variable(request):
    if not request.config.getoption("--installed"):
        pytest.skip("run from the source folder (scripts/test.sh python tests the installed package)")
    env = {k: v for k, v in os.environ.items() if k not in ("FOLIAN_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    code = "import folian, os; print(os.path.dirname(folian.__file__)); print(folian._lib._name)"
    r = subprocess.run([sys.executable, "-c", code], env=env, cwd="/", capture_output=True, text=True, check=True)
    package, library = r.stdout.split()
    assert not package.startswith(os.path.join(ROOT, "python"))
    assert os.path.dirname(library) == package and os.path.exists(os.path.join(package, "py.typed"))
