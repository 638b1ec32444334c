"""python -m tessera: preprocess the bundled example table and show the result."""
from importlib import resources

from tessera.tools.preprocess import preprocess

EXAMPLE_SETTINGS = {
    "index": "Protein IDs",
    "remove_decoy": "REV__",
    "noise_filter": 1,
    "log_transform": 2,
    "remove_missing_values": 70,
    "normalize": "log_median_0",
}


def main():
    path = resources.files("tessera") / "data" / "example_lfq.tsv"
    with resources.as_file(path) as file_name:
        print(f"example table: {file_name}")
        print(f"settings: {EXAMPLE_SETTINGS}")
        df = preprocess(str(file_name), EXAMPLE_SETTINGS)
    print(f"preprocessed shape: {df.shape}")
    print(df.head())


if __name__ == "__main__":
    main()
