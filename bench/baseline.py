import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

from requests_toolbelt import MultipartEncoder

SERVICE = "https://api.pixelmend.ai"
RESULT_BUFFER = 256 * 1024


def image_paths(image_path):
    if os.path.isdir(image_path):
        names = sorted(n for n in os.listdir(image_path) if n.lower().endswith((".jpg", ".jpeg", ".png")))
        return [os.path.join(image_path, n) for n in names]
    return [image_path]


def image_fields(image_path):
    return [("image", (os.path.basename(p), open(p, "rb"), "image/jpeg")) for p in image_paths(image_path)]


class LazyReader:
    # Opens its file on the first read and closes it after the last byte. MultipartEncoder asks for the
    # remaining length before every block; a plain attribute answers that without fstat() and tell().
    def __init__(self, path):
        self.path = path
        self.len = os.path.getsize(path)
        self.handle = None

    def read(self, size=-1):
        if self.len <= 0:
            return b""
        if self.handle is None:
            self.handle = open(self.path, "rb")
        data = self.handle.read(size if size is not None and size >= 0 else self.len)
        self.len -= len(data)
        if not data or self.len <= 0:
            self.handle.close()
        return data


def lazy_image_fields(image_path):
    return [("image", (os.path.basename(p), LazyReader(p), "image/jpeg")) for p in image_paths(image_path)]


def upload(requests, key, fields):
    encoder = MultipartEncoder(fields=[("api_key", key), ("option", "0")] + fields)
    with requests.Session() as s:
        r = s.post(
            SERVICE + "/vision/v0/segmention-masks",
            data=encoder,
            headers={"Content-Type": encoder.content_type},
            verify=False,
        )
    if r.status_code != 200:
        raise Exception(f"HT Error: {r.status_code}, {r.text}")
    result = r.json()
    if not result["success"]:
        raise Exception("API responded with an error: " + result.get("message", "No error message provided"))
    return result


def download(requests, result, image_path, buffering):
    save_dir = os.path.join("results", os.path.basename(image_path))
    os.makedirs(save_dir, exist_ok=True)
    for filename in result["filenames"]:
        file_response = requests.get(result["path"] + "/" + filename, stream=True, verify=False)
        if file_response.status_code != 200:
            print("Failed to download " + filename)
            continue
        with open(os.path.join(save_dir, filename), "wb", buffering=buffering) as f:
            for chunk in file_response.iter_content(chunk_size=8192):
                if chunk:
                    f.write(chunk)
    return "Files downloaded to " + save_dir


def segment_image(requests, key, image_path):
    # What a user would write: every file opened up front, results written through the default buffer.
    result = upload(requests, key, image_fields(image_path))
    return download(requests, result, image_path, -1)


def segment_image_tuned(requests, key, image_path):
    # The same exchange with the two changes that make plain Python as fast as pixelmend here.
    result = upload(requests, key, lazy_image_fields(image_path))
    return download(requests, result, image_path, RESULT_BUFFER)


def staged_download(session, file_url, save_dir, filename):
    # The same staged write as the client: the body goes to a temporary file beside its final name and
    # replaces it only once whole.
    file_response = session.get(file_url, stream=True, verify=False)
    if file_response.status_code != 200:
        return False
    handle = tempfile.NamedTemporaryFile(dir=save_dir, prefix=".tmp-", delete=False)
    try:
        with handle:
            for chunk in file_response.iter_content(chunk_size=8192):
                if chunk:
                    handle.write(chunk)
        os.replace(handle.name, os.path.join(save_dir, filename))
    except BaseException:
        os.unlink(handle.name)
        raise
    return True


def segment_image_peer(requests, key, image_path, workers=8):
    # The best plain-Python client we know for many result files: one kept-alive Session whose pool
    # holds a connection per worker, and `workers` downloads at a time, failures printed in order.
    result = upload(requests, key, lazy_image_fields(image_path))
    save_dir = os.path.join("results", os.path.basename(image_path))
    os.makedirs(save_dir, exist_ok=True)
    with requests.Session() as session:
        adapter = requests.adapters.HTTPAdapter(pool_connections=1, pool_maxsize=workers)
        session.mount("https://", adapter)
        with ThreadPoolExecutor(workers) as pool:
            saved = pool.map(
                lambda filename: staged_download(session, result["path"] + "/" + filename, save_dir, filename),
                result["filenames"],
            )
            for filename, ok in zip(result["filenames"], saved):
                if not ok:
                    print("Failed to download " + filename)
    return "Files downloaded to " + save_dir
