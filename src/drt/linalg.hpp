// Small dense linear algebra for the DRT solver: row-major square and
// rectangular matrices of doubles, Cholesky factors and a symmetric
// eigen-decomposition.
#pragma once

#include <cstddef>
#include <vector>

namespace zetrion::drt {

// Blocks of the matrices' storage, kept per thread between uses: a DRT
// takes and frees the same dozen large blocks every time, and the C library
// hands large free blocks back to the system, so that every DRT would fault
// its pages in afresh. Blocks of 16 KiB or more are kept, up to 8 MiB a
// thread, and reused when the same size is asked for.
void* take_block(std::size_t bytes);
void give_block(void* p, std::size_t bytes) noexcept;

template <class T>
struct BlockAllocator {
    using value_type = T;
    BlockAllocator() = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(take_block(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { give_block(p, n * sizeof(T)); }
    friend bool operator==(const BlockAllocator&, const BlockAllocator&) noexcept { return true; }
};

struct Matrix {
    std::size_t rows = 0, cols = 0;
    std::vector<double, BlockAllocator<double>> a;
    Matrix() = default;
    Matrix(std::size_t r, std::size_t c) : rows(r), cols(c), a(r * c, 0.0) {}
    double& operator()(std::size_t i, std::size_t j) { return a[i * cols + j]; }
    double operator()(std::size_t i, std::size_t j) const { return a[i * cols + j]; }
};

// Lower Cholesky factor of a symmetric positive (semi-)definite matrix in
// place (upper triangle left untouched). When a pivot is not positive the
// factorisation is retried with a growing ridge; returns the ridge added
// relative to the largest diagonal entry (0 when none was needed).
double cholesky(Matrix& m);

// Solves L L^T x = b in place with a factor from cholesky().
void cholesky_solve(const Matrix& l, std::vector<double>& b);

// Solves L y = b (forward) and L^T x = y (backward) separately, in place.
void forward_solve(const Matrix& l, double* b);
void backward_solve(const Matrix& l, double* b);

// Solves L X = X in place for a row-major X with many columns (row
// updates that vectorise).
void forward_solve_rows(const Matrix& l, Matrix& x);

// Eigen-decomposition of a symmetric matrix: values ascending, vectors as
// the columns of `vectors`.
void symmetric_eigen(const Matrix& m, std::vector<double>& values, Matrix& vectors);

// The eigenvalues of a symmetric matrix (ascending) and V^T w for its
// eigenvectors V, without forming V (O(n^3) with a small constant).
void symmetric_eigen_projected(const Matrix& m, std::vector<double>& values, std::vector<double>& w);

// The dense kernels run in AVX2 where the processor has it; this keeps them
// to the baseline instruction set (for comparing the two: the results agree
// to the last bit).
void use_baseline_kernels(bool on);

// A^T A and A^T b for a row-major A.
Matrix gram(const Matrix& a);
std::vector<double> at_times(const Matrix& a, const std::vector<double>& b);

}  // namespace zetrion::drt
