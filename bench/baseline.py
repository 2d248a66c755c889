import os

from requests_toolbelt import MultipartEncoder

SERVICE = "https://api.pixelmend.ai"


def image_fields(image_path):
    if os.path.isdir(image_path):
        names = sorted(n for n in os.listdir(image_path) if n.lower().endswith((".jpg", ".jpeg", ".png")))
        paths = [os.path.join(image_path, n) for n in names]
    else:
        paths = [image_path]
    return [("image", (os.path.basename(p), open(p, "rb"), "image/jpeg")) for p in paths]


def segment_image(requests, key, image_path):
    encoder = MultipartEncoder(fields=[("api_key", key), ("option", "0")] + image_fields(image_path))
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
    save_dir = os.path.join("results", os.path.basename(image_path))
    os.makedirs(save_dir, exist_ok=True)
    for filename in result["filenames"]:
        file_response = requests.get(result["path"] + "/" + filename, stream=True, verify=False)
        if file_response.status_code != 200:
            print("Failed to download " + filename)
            continue
        with open(os.path.join(save_dir, filename), "wb") as f:
            for chunk in file_response.iter_content(chunk_size=8192):
                if chunk:
                    f.write(chunk)
    return "Files downloaded to " + save_dir
