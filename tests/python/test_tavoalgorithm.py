"""The Python module: bunny fusion checked through Open3D's reading of the
written file, the mesh distance against Open3D's own distance queries and
analytic shapes, laser lines, the scan reader, and refusals of bad input."""
import math
import os
import pathlib

import numpy as np
import open3d as o3d
import pytest

import tavoalgorithm as tavo

DATA = pathlib.Path(os.environ.get("TAVO_TEST_DATA_DIR", "")) / "bunny-scans"
needs_bunny = pytest.mark.skipif(not (DATA / "bun.conf").exists(), reason="bunny scans absent")


def square(z, size=1.0):
    v = np.array([[0, 0, z], [size, 0, z], [size, size, z], [0, size, z]], dtype=np.float64)
    f = np.array([[0, 1, 2], [0, 2, 3]], dtype=np.int32)
    return v, f


def test_version_is_the_library_version():
    parts = tavo.__version__.split(".")
    assert len(parts) == 3 and all(p.isdigit() for p in parts)


def test_mesh_distance_between_parallel_squares_is_their_gap():
    a = square(0.0)
    b = square(0.25)
    forward, backward = tavo.mesh_distance(*a, *b)
    for d in (forward, backward):
        assert d["samples"] == 4
        assert d["mean"] == pytest.approx(0.25, abs=1e-7)
        assert d["max"] == pytest.approx(0.25, abs=1e-7)


def test_mesh_distance_matches_open3d_on_a_sphere_and_a_box():
    sphere = o3d.geometry.TriangleMesh.create_sphere(radius=0.4, resolution=24)
    box = o3d.geometry.TriangleMesh.create_box(1.0, 0.8, 0.6).translate((-0.5, -0.4, -0.3))
    sv, sf = np.asarray(sphere.vertices), np.asarray(sphere.triangles).astype(np.int32)
    bv, bf = np.asarray(box.vertices), np.asarray(box.triangles).astype(np.int32)
    forward, backward = tavo.mesh_distance(sv, sf, bv, bf)

    def open3d_distances(points, target):
        scene = o3d.t.geometry.RaycastingScene()
        scene.add_triangles(o3d.t.geometry.TriangleMesh.from_legacy(target))
        return scene.compute_distance(o3d.core.Tensor(points.astype(np.float32))).numpy()

    for got, points, target in ((forward, sv, box), (backward, bv, sphere)):
        want = open3d_distances(points, target)
        assert got["samples"] == len(points)
        assert got["mean"] == pytest.approx(float(want.mean()), abs=1e-5)
        assert got["max"] == pytest.approx(float(want.max()), abs=1e-5)
        rank = math.ceil(0.95 * len(want)) - 1
        assert got["p95"] == pytest.approx(float(np.sort(want)[rank]), abs=1e-5)


def test_bad_input_raises_with_the_reason():
    v, f = square(0.0)
    with pytest.raises(ValueError, match="outside the vertices"):
        tavo.mesh_distance(v, np.array([[0, 1, 7]], dtype=np.int32), v, f)
    with pytest.raises(ValueError, match=r"\(n, 3\)"):
        tavo.mesh_distance(v[:, :2], f, v, f)
    with pytest.raises(ValueError, match="voxel_size"):
        tavo.FusionMeshHelper(0.0)
    with pytest.raises(ValueError, match="voxel_size"):
        tavo.FusionMeshHelper(float("nan"))
    helper = tavo.FusionMeshHelper(0.01)
    with pytest.raises(ValueError, match="rows, cols, 3"):
        helper.send_frame(np.zeros((4, 3)), np.eye(4))
    with pytest.raises(ValueError, match="4 x 4"):
        helper.send_frame(np.zeros((2, 2, 3)), np.eye(3))
    bad = np.eye(4)
    bad[0, 3] = float("nan")
    with pytest.raises(ValueError, match="finite"):
        helper.send_frame(np.zeros((2, 2, 3)), bad)
    assert helper.frame_count == 0
    with pytest.raises(ValueError, match=r"read_range_scans\(.*\) failed \(return code 2\): .*Error"):
        tavo.read_range_scans("/nonexistent/scans.conf")
    with pytest.raises(ValueError, match="write_mesh"):
        tavo.write_mesh("/nonexistent/dir/mesh.ply", v, f)


def test_fused_plane_lies_on_the_plane():
    # A 60 x 60 grid of points on z = 0.5 seen from +z, fused from two poses
    # that both leave it in place.
    ys, xs = np.mgrid[0:60, 0:60] * 0.005
    grid = np.stack([xs, ys, np.full_like(xs, 0.5)], axis=-1)
    grid[10:12, 20:25] = np.nan  # empty cells
    helper = tavo.FusionMeshHelper(0.01)
    helper.send_frame(grid, np.eye(4))
    helper.send_frame(grid, np.eye(4))
    assert helper.frame_count == 2
    vertices, faces = helper.mesh()
    assert vertices.dtype == np.float64 and vertices.shape[1] == 3 and len(vertices) > 0
    assert faces.dtype == np.int32 and faces.shape[1] == 3 and len(faces) > 0
    assert faces.min() >= 0 and faces.max() < len(vertices)
    inner = (vertices[:, 0] > 0.05) & (vertices[:, 0] < 0.25) & (vertices[:, 1] > 0.05) & (vertices[:, 1] < 0.25)
    assert inner.any()
    assert np.abs(vertices[inner, 2] - 0.5).max() < 0.01


def test_laser_lines_give_changed_points_with_ids():
    # A crossed pair of lines on the plane z = 100, swept along x in five frames.
    laser = tavo.RealTimeFusionCloudHelper(0.5, 1.0, 3.0)
    t = np.arange(-50, 51) * 0.25
    lines = [np.column_stack([t, np.zeros_like(t), np.full_like(t, 100.0)]),
             np.column_stack([np.zeros_like(t), t, np.full_like(t, 100.0)])]
    for k in range(5):
        pose = np.eye(4)
        pose[0, 3] = 0.25 * k
        laser.fuse_lines(lines, pose)
    assert laser.frame_count == 5
    ids, points, deleted = laser.changed()
    assert ids.dtype == np.int32 and len(ids) > 0 and len(np.unique(ids)) == len(ids)
    assert points.shape == (len(ids), 3) and not deleted.any()
    assert np.abs(points[:, 2] - 100.0).max() < 0.5
    assert points[:, 0].min() > -14.0 and points[:, 0].max() < 14.0
    assert np.abs(points[:, 1]).max() < 14.0
    assert laser.valid_count == len(ids)
    again, _, _ = laser.changed()
    assert len(again) == 0
    with pytest.raises(ValueError, match=r"\(n, 3\)"):
        laser.fuse_lines([np.zeros((5, 2))], np.eye(4))


@needs_bunny
def test_scan_reader_grid_holds_the_points_open3d_reads():
    scans = tavo.read_range_scans(str(DATA / "bun.conf"))
    assert len(scans) == 8
    grid, pose, sensor = scans[0]
    assert grid.shape == (400, 512, 3)
    assert sensor == pytest.approx((0.0, 0.0, 1.0))
    assert np.allclose(pose[3], [0, 0, 0, 1]) and np.allclose(pose[:3, :3] @ pose[:3, :3].T, np.eye(3), atol=1e-9)
    ours = grid[np.isfinite(grid[..., 0])]
    theirs = np.asarray(o3d.io.read_point_cloud(str(DATA / "bun000.ply")).points)
    assert len(ours) == len(theirs)
    key = lambda p: p[np.lexsort((p[:, 2], p[:, 1], p[:, 0]))]
    assert np.allclose(key(ours), key(theirs), atol=1e-6)


@needs_bunny
def test_fused_bunny_written_and_read_back_by_open3d(tmp_path):
    voxel = 0.002
    helper = tavo.FusionMeshHelper(voxel)
    for grid, pose, sensor in tavo.read_range_scans(str(DATA / "bun.conf")):
        helper.send_frame(grid, pose, sensor)
    vertices, faces = helper.mesh()
    assert len(vertices) > 1000 and len(faces) > 2000

    path = tmp_path / "bunny.ply"
    tavo.write_mesh(str(path), vertices, faces)
    mesh = o3d.io.read_triangle_mesh(str(path))
    assert np.asarray(mesh.triangles).shape == faces.shape
    assert np.array_equal(np.asarray(mesh.triangles), faces)
    assert np.allclose(np.asarray(mesh.vertices), vertices, atol=1e-7)

    # Open3D's arrays go straight back in; the fused surface lies within a
    # voxel of the reference on average, both ways.
    ref = o3d.io.read_triangle_mesh(str(DATA / "bun_zipper_res2.ply"))
    forward, backward = tavo.mesh_distance(np.asarray(mesh.vertices), np.asarray(mesh.triangles).astype(np.int32),
                                           np.asarray(ref.vertices), np.asarray(ref.triangles).astype(np.int32))
    assert 0.99 * len(vertices) < forward["samples"] <= len(vertices)  # vertices in some face
    assert forward["mean"] < voxel and backward["mean"] < voxel
