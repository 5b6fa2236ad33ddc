// Writes small simulation snapshots for the reader and tool tests through the HDF5 C library.
#pragma once

#include <hdf5.h>

#include <string>
#include <vector>

struct SnapshotDataset {
    std::string name;  // "/PartType0/Coordinates"; missing groups are created
    hid_t type;        // as stored, e.g. H5T_NATIVE_FLOAT; converted from data
    std::vector<hsize_t> dims;
    std::vector<double> data;
};

// numPart: the /Header attribute NumPart_ThisFile (6 counts), when not empty.
inline bool writeSnapshot(const std::string& path, const std::vector<SnapshotDataset>& sets,
                          const std::vector<double>& numPart = {}) {
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hid_t links = H5Pcreate(H5P_LINK_CREATE);
    bool ok = H5Pset_create_intermediate_group(links, 1) >= 0;
    for (const SnapshotDataset& d : sets) {
        const hid_t space = H5Screate_simple(int(d.dims.size()), d.dims.data(), nullptr);
        const hid_t set = H5Dcreate2(file, d.name.c_str(), d.type, space, links, H5P_DEFAULT, H5P_DEFAULT);
        ok = ok && H5Dwrite(set, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, d.data.data()) >= 0;
        H5Dclose(set), H5Sclose(space);
    }
    if (!numPart.empty()) {  // unsigned 32-bit, as the simulation codes write it
        const hsize_t n = numPart.size();
        const hid_t header = H5Gcreate2(file, "/Header", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        const hid_t space = H5Screate_simple(1, &n, nullptr);
        const hid_t a = H5Acreate2(header, "NumPart_ThisFile", H5T_STD_U32LE, space, H5P_DEFAULT, H5P_DEFAULT);
        ok = ok && H5Awrite(a, H5T_NATIVE_DOUBLE, numPart.data()) >= 0;
        H5Aclose(a), H5Sclose(space), H5Gclose(header);
    }
    return H5Pclose(links) >= 0 && H5Fclose(file) >= 0 && ok;
}
