# Documents on a Dask cluster: a LocalCluster of two worker processes converts 20 documents,
# one with a broken image; every output passes qpdf's check and the report names the broken one.
import os
import shutil
import subprocess

import pytest

import folian

distributed = pytest.importorskip("dask.distributed", reason="Dask is not installed (python3-distributed)")
import folian_dask  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PHOTO = os.path.join(ROOT, "examples", "photo.jpg")
BADGE = os.path.join(ROOT, "examples", "badge.png")


def test_twenty_documents_on_two_worker_processes(tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 40)
    jobs = [([PHOTO, BADGE, PHOTO], str(tmp_path / ("doc%02d.pdf" % i))) for i in range(20)]
    jobs[7] = ([PHOTO, str(broken)], str(tmp_path / "doc07.pdf"))
    # The workers import folian from this tree and the library under test.
    os.environ["PYTHONPATH"] = os.pathsep.join([os.path.join(ROOT, "python"), os.environ.get("PYTHONPATH", "")])
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        report = folian_dask.convert_documents(client, jobs, compact=True)
    assert [r.output for r in report] == [out for _, out in jobs]
    for i, r in enumerate(report):
        if i == 7:
            assert isinstance(r.error, folian.Error) and r.error.path == str(broken) and r.pages == 0
            assert not os.path.exists(r.output)
            continue
        assert r.error is None and r.pages == 3 and r.bytes == os.path.getsize(r.output)
        if shutil.which("qpdf"):
            subprocess.run(["qpdf", "--check", r.output], check=True, stdout=subprocess.DEVNULL)
